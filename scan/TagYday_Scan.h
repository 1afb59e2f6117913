// The day scan: the walk over yesterday's placeholder day records.
#pragma once

// Creates the parameter file "parvektgb", walks the yesterday cursor and runs the reference-day
// search and both follow-up rules for each accounting day. `schema_name` is written into the
// parameter lines of the consolidation variant.
void TagYday_Scan(const char* schema_name);
