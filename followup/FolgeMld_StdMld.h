// Hour-message follow-up: carries an hour message that ended the reference day onward.
#pragma once

#include "db/records.h"

// Looks at the newest booking inside the stored time frame of the reference day `vortag`
// (without functions 45 and 29). When it is an hour message (function 23 or 24) whose type
// (FcdSta below 4) names a follow-up code: reads the follow-up type (one that does not exist is
// logged and goes on with FcdNum set and every number 0; a read that fails with an error is
// logged and nothing is generated), weighs it with Bch_PrioCheck and,
// when allowed, books it with Mld_Generate. `tag` (the accounting-day record, carrying what
// the day-message rule wrote) is changed in place by Mld_Generate.
// Returns 1 when Mld_Generate ran and returned 1, otherwise 0. Issues no commit of its own.
// The booking cursor is closed on every path.
int FolgeMld_StdMld(TagSatz& tag, const TagSatz& vortag);
