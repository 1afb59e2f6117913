// Day-message follow-up: carries the reference day's day messages onto the accounting day.
#pragma once

#include "db/records.h"

// For every day-message booking (functions 1, 2, 3) of the reference day `vortag`, in the
// order the database delivers them, whose message type (FcdSta below 4) names a follow-up code:
// reads the follow-up type (one that does not exist is logged and goes on with FcdNum set and
// every number 0; one unread because of an error is logged and not generated), weighs it with
// Bch_PrioCheck and, when allowed, books it with Mld_Generate, then commits. Bookings whose
// type is not found or has no follow-up code are passed over silently; a follow-up code read
// that fails with an error, or a booking with an over-long key, is passed over with an entry. `tag`
// (the accounting-day record) is changed in place by Mld_Generate. Returns 1 when Mld_Generate
// returned 1 at least once, otherwise 0. The booking cursor is closed on every path.
int FolgeMld_TagesMld(TagSatz& tag, const TagSatz& vortag);
