#pragma once
#include "kestrune/platform/media/AssetReader.h"
