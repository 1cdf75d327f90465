#pragma once
#include "kestrune/platform/capture/CaptureConnection.h"
