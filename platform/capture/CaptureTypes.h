#pragma once
#include "kestrune/platform/capture/CaptureTypes.h"
