// The day scan: the walk over yesterday's placeholder day records.
#pragma once

#include <optional>

#include "run/ground/AccountingDay.h"

// Creates the parameter file at `param_file` ("parvektgb" in the working directory for the job),
// walks the cursor over the placeholder day records of the accounting day and runs the
// reference-day search and both follow-up rules for each of them. The accounting day is
// `catch_up` when given: a missed night, noted first in the run log with one "Info: " entry;
// without it, the database's yesterday. `schema_name` is written into the parameter lines of
// the consolidation variant. With `only_pnr` (explaining one person's night) every other
// person's day is passed over unread.
void TagYday_Scan(const char* schema_name, const std::optional<AccountingDay>& catch_up,
                  const char* param_file, const char* only_pnr = nullptr);
