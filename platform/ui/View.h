#pragma once
#include "kestrune/platform/ui/View.h"
