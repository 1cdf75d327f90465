#pragma once
#include "kestrune/KNUtils.h"
