#pragma once
#include "kestrune/platform/media/BlockBuffer.h"
