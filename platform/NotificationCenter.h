#pragma once
#include "kestrune/platform/NotificationCenter.h"
