#pragma once
#include "kestrune/platform/media/FormatDescription.h"
