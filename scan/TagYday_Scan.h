// The day scan: the walk over yesterday's placeholder day records.
#pragma once

// Creates the parameter file "parvektgb", walks the yesterday cursor and runs the reference-day
// search and both follow-up rules for each accounting day. `schema_name` is written into the
// parameter lines of the consolidation variant.
void TagYday_Scan(const char* schema_name);

// A catch-up of a missed night: the scan works on `day` (yyyymmdd) instead of the database's
// yesterday, and notes that day in the run log with one "Info: " entry. An empty text (the
// default) is a normal night. Set before the run starts; the companion tool does this.
void TagYday_SetDay(const char* day);
