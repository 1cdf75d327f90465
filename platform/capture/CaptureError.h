#pragma once
#include "kestrune/platform/capture/CaptureError.h"
