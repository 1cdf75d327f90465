#pragma once
#include "kestrune/platform/capture/CaptureAuthorization.h"
