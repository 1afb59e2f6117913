// Debug dump of one day record on standard output.
#pragma once

#include "db/records.h"

// Prints the thirteen fields of `tag` to standard output, texts as they stand and numbers as
// signed decimals (TgbSol under the label TagSol). Prints unconditionally: every caller tests
// RunFlags.debug first.
void Tag_Dump(const TagSatz& tag);
