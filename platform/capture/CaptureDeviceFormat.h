#pragma once
#include "kestrune/platform/capture/CaptureDeviceFormat.h"
