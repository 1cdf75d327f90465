#pragma once
#include "kestrune/platform/Range.h"
