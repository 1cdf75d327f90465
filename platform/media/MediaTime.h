#pragma once
#include "kestrune/platform/media/MediaTime.h"
