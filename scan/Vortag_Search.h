// Reference-day search: the most recent earlier day whose messages are carried on.
#pragma once

#include "db/records.h"

// Walks the person's day records before `day` (yyyymmdd), newest first, each fetched straight
// into `vortag`, and decides per day:
//  - a day with bookings of function 1 whose day code (TagTgb) names a type with a follow-up
//    code is the reference day (found through its day messages);
//  - a day with bookings of function 1 whose type has no follow-up code stops the search with
//    nothing found, except the first such day whose type has FcdFcd 24: that day is passed
//    over and only its hour messages count;
//  - a day with hour messages (functions 21-25, 29, 30, 0) inside its own time frame is the
//    reference day (found through its hour messages);
//  - any other day is skipped. There is no limit on how far back the walk goes.
// A read that fails with an error (a negative code: a failed open, fetch, count or type read,
// an over-long key) ends the search with nothing found and one run-log entry; only the paths
// of 1403 (no more days, a type that does not exist) are silent.
// Returns 1 when found (`vortag` holds that day), 0 otherwise (`vortag` holds the last day
// fetched, or is untouched when none was). Prints the found day when RunFlags.debug is 1. The
// earlier-days cursor is closed on every path.
int Vortag_Search(const char* pnr, const char* day, TagSatz& vortag);
