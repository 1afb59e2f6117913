// The tools' query API: the statements of parvekctl that the job never runs, taken from the
// companion tool's section of the statement table (client/core/tool_statements.h), so that no SQL
// text is written in the tools.
#pragma once

#include <string>

#include "client/core/tool_statements.h"  // IWYU pragma: export

namespace pvc {

// The queries of parvekctl's viewer (`show`). Both read a range of days, FROM inclusive and TO
// exclusive, each 'YYYY-MM-DD HH:MM:SS'; they are plain SQL that every backend takes.

// Day records with their day-evaluation target (TgbSol, NULL when none) and their three
// code/value pairs: TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TgbSol, TagTgb, TagTgs,
// TagHtv, TagHvs, TagHtn, TagHns; ordered by person and day.
std::string ShowDaysQuery(const std::string& from, const std::string& to);

// Bookings: BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf, BchDat; ordered by their key.
std::string ShowBookingsQuery(const std::string& from, const std::string& to);

}  // namespace pvc
