#pragma once
#include "kestrune/platform/ui/Color.h"
