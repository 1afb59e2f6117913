// Each engine's texts of the statement table (client/core/statements.h) as its backends take
// them, for the native backends and the ODBC backend alike.
#pragma once

#include <vector>

#include "client/core/session.h"
#include "client/core/statements.h"

namespace pvc {

// The PostgreSQL text of `op` and the number of parameters it derives beyond the inputs.
struct PgStatement {
  Op op;
  const char* text;
  int derived;  // parameters the backend derives beyond the statement's inputs
};

// The statement for `op`. Bch_CountStdMld takes two derived parameters after its inputs: $4 and
// $5, the days the two bounds begin with as timestamps (NULL where a bound does not begin with
// a date), so that an index bounds the search.
const PgStatement& Pg_Statement(Op op);
// The values of `op`'s derived parameters, from its inputs `in` (already checked): a NULL value
// (`null` set) or a timestamp text each. Empty for a statement without derived parameters.
std::vector<Cell> Pg_DerivedValues(Op op, const std::vector<Bind>& in);
// The key-paged PostgreSQL form of a cursor's text, or nullptr for a cursor that is not paged
// ($2 the key's bound, $3 the page's row limit). Pages run in one REPEATABLE READ transaction.
const char* Pg_PagedStatement(Op op);
// The native backend's counted form of a key-paged cursor: the delivered columns, then one count
// per read Pg_CountedReads names, then the key ($2 and $3 as above). The earlier-days cursor
// counts each day's day and hour messages: the search asks them of every day it walks, and they
// come with the day instead of costing the server a statement each.
struct PgCounted {
  const char* text;
  size_t counts;  // count columns
  size_t inputs;  // the leading delivered columns the reads' inputs are taken from
};
// `op`'s counted form, or nullptr for a cursor without one.
const PgCounted* Pg_Counted(Op op);
// The reads that the counted form's counts answer for a delivered row (its leading `inputs`
// columns at least), in their columns' order, with the inputs the statement module
// (db/parveksql) binds for them.
std::vector<Read> Pg_CountedReads(Op op, const Row& row);

namespace sqlite {

// The SQLite text for `op`: placeholders ?1..?n in the order of the statement's inputs.
inline const char* Statement(Op op) { return Op_Info(op).sqlite; }
// The key-paged SQLite form of a cursor's text, or nullptr for a cursor that is not paged
// (?2 the key's bound, ?3 the page's row limit).
inline const char* PagedStatement(Op op) { return Op_Info(op).sqlite_paged; }

}  // namespace sqlite
}  // namespace pvc
