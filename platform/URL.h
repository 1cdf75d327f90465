#pragma once
#include "kestrune/platform/URL.h"
