#pragma once
#include "kestrune/platform/ui/Layer.h"
