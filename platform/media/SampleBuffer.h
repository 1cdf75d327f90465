#pragma once
#include "kestrune/platform/media/SampleBuffer.h"
