#pragma once
#include "kestrune/platform/Geometry.h"
