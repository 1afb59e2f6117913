// The parameter file "parvektgb": one record per accounting day that received a follow-up,
// read by the downstream recalculation.
#pragma once

#include <string>

#include "db/records.h"

// Name of the parameter file in the working directory.
inline constexpr const char* kParamFileName = "parvektgb";

// The date text of a day yyyymmdd as dd.mm.yyyy, built by copying characters: positions 7-8,
// a full stop, 5-6, a full stop, 1-4. Nothing is checked or converted. `out` receives 10
// characters and the terminator.
void Tgb_DateText(const char (&day)[9], char (&out)[11]);

// One parameter line for the accounting-day record `tag`. With `consolidation` 1 the layout is
// "%-20s,%-8s,%-10s\n" (schema name, person number, date text), otherwise "%-8s,%-10s\n".
// Values longer than their width are written whole.
std::string Tgb_ParamLine(int consolidation, const char* schema_name, const TagSatz& tag);
