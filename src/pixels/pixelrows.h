// Pixel access within a row lives at the platform floor (platform/
// pixelrows.h), where the drawing layer uses it too; this header keeps the
// name the surface code includes.
#pragma once

#include "platform/pixelrows.h"
