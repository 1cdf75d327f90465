#pragma once
#include "kestrune/platform/capture/CaptureVideoPreviewLayer.h"
#include "platform/capture/CaptureSession.h"
