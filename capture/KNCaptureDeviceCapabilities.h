#pragma once
#include "kestrune/KNCaptureDeviceCapabilities.h"
