#pragma once
#include "kestrune/platform/media/MediaStatus.h"
