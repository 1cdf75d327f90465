#pragma once
#include "kestrune/platform/capture/CaptureDevice.h"
