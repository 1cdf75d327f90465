#pragma once
#include "kestrune/platform/media/PixelBuffer.h"
