#pragma once
#include "kestrune/platform/media/Asset.h"
