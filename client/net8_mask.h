// NET8 as it may be shown (MaskNet): client/core/net8_mask.h. This header keeps the include path
// the program entry and the tools use.
#pragma once

#include "client/core/net8_mask.h"  // IWYU pragma: export
