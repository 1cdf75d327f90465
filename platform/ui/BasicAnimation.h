#pragma once
#include "kestrune/platform/ui/BasicAnimation.h"
