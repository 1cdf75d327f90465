#pragma once
#include "kestrune/platform/ui/Application.h"
