// The SQL codes the database client returns: the one list is client/core/codes.h. This header
// keeps the include path the job, its tools and tests use.
#pragma once

#include "client/core/codes.h"  // IWYU pragma: export
