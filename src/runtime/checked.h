// Checked size arithmetic lives at the platform floor (platform/checked.h),
// where the drawing layer uses it too; this header keeps the name readers
// include.
#pragma once

#include "platform/checked.h"
