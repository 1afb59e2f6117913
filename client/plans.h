// The plans the database makes for the statements of the statement table: which of them read a
// table whole. A night asks its statements once per person, so a statement that scans the
// bookings reads them all once per person; an index turns that into a search. doctor reports
// what this finds, and the backends' contract tests hold every engine to none.
#pragma once

#include <string>
#include <vector>

#include "client/core/session.h"

namespace pvc {

struct PlanProblem {
  Op op;
  std::string table;  // the table read whole as the plan names it; "" when the rows are sorted
                      // before the first one arrives (a cursor that should stream)
  std::string plan;   // the plan as the database gave it, one step per line
};

// Asks the database behind `s` for the plan of every statement of the table that reads (the
// inserts aside), in the texts the session sends, with literal values in place of its inputs;
// PostgreSQL's sequential scans are priced out first, so that a scan means no index serves.
// 0 with the problems in `out`; -600 when the session sends the texts of record (no plan is read
// for them here); otherwise the code of the first plan that could not be read, with the
// statement's name in `failed`.
int Plan_Problems(Session& s, std::vector<PlanProblem>& out, std::string& failed);

}  // namespace pvc
