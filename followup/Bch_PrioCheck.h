// Priority check and cancellation of competing day messages on the accounting day.
#pragma once

#include "db/records.h"

// Function of a cancelled booking.
inline constexpr int32_t kBchFktStorno = 45;

// Weighs the follow-up type `fcd` against the accounting day's day-message bookings
// (functions 1, 2, 3 of tag.TagPnr on tag.TagTag), in the order the database delivers them.
// The first booking that decides settles it (smaller FcdPri ranks higher; at equal priority
// the follow-up's FcdGpu decides: 0 the booking wins, 1 the follow-up wins, other values pass
// the booking over):
//  - the booking ranks higher: logged as a notice, returns 0 (blocked);
//  - the follow-up ranks higher: the booking is cancelled to function 45, unless fcd.FcdSol
//    is 1 and tag.TgbSol is 0 or less (then nothing is cancelled); returns 1. A cancellation
//    that meets an existing cancelled booking at the same key (-1) deletes that booking and
//    updates again. Every write commits itself; failures are logged, the result stays 1.
// With no deciding booking returns 1. Bookings without a code or whose type does not exist
// (1403) are passed over. A failed open or fetch (an over-long key among them) or a type read
// that fails with an error is logged and blocks: returns 0. The cursor is closed on every path.
int Bch_PrioCheck(const TagSatz& tag, const FcdSatz& fcd);
