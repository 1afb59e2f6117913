// Day-message follow-up: carries the reference day's day messages onto the accounting day.
#pragma once

#include "db/records.h"

// For every day-message booking (functions 1, 2, 3) of the reference day `vortag`, in the
// order the database delivers them, whose message type (FcdSta below 4) names a follow-up code:
// reads the follow-up type (a failed read is logged and the type goes on with FcdNum set and
// every number 0), weighs it with Bch_PrioCheck and, when allowed, books it with Mld_Generate,
// then commits. Bookings without a readable type or without a follow-up code are passed over
// silently. `tag` (the accounting-day record) is changed in place by Mld_Generate.
// Returns 1 when Mld_Generate returned 1 at least once, otherwise 0. The booking cursor is
// closed on every path.
int FolgeMld_TagesMld(TagSatz& tag, const TagSatz& vortag);
