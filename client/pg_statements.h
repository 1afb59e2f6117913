// The PostgreSQL text of every statement of the job's catalogue (client/client.h, Op).
//
// Each text selects exactly what the job's statement text of record selects, in the same column
// order, with $1, $2, ... in the binding order of its Op. Dates travel as timestamps
// 'YYYY-MM-DD HH:MM:SS' (timestamp(0) without time zone); 'yesterday' is the server's
// current_date - 1; 14-digit points in time are compared as texts in binary order, as the texts
// of record do.
#pragma once

#include <vector>

#include "client/client.h"

namespace pvc {

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
// The key-paged form of a cursor's text, or nullptr for a cursor that is not paged. Its select
// list is the cursor's with the key added last (a timestamp, unique per person); $2 is the
// key's bound (the open's value for the first page, the previous page's last key after it)
// and $3 the page's row limit. Pages run in one REPEATABLE READ transaction.
const char* Pg_PagedStatement(Op op);
// The name of `op`'s prepared statement on the main connection.
const char* Pg_StatementName(Op op);

// The six tables of a schema, their keys and indexes: statements separated by ';', names
// unquoted, to run with the schema first on the search path.
extern const char* const kPgSchemaDdl;

}  // namespace pvc
