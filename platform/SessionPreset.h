#pragma once
#include "kestrune/platform/SessionPreset.h"
