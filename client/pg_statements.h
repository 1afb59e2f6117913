// The PostgreSQL text of every statement of the job's catalogue (client/client.h, Op).
//
// Each text selects exactly what the job's statement text of record selects, in the same column
// order, with $1, $2, ... in the binding order of its Op. Dates travel as timestamps
// 'YYYY-MM-DD HH:MM:SS' (timestamp(0) without time zone); 'yesterday' is the server's
// current_date - 1; 14-digit points in time are compared as texts in binary order, as the texts
// of record do.
#pragma once

#include "client/client.h"

namespace pvc {

struct PgStatement {
  const char* name;  // name of the prepared statement on the main connection
  const char* text;
  int params;        // number of $n the text uses
};

// The statement for `op`. Bch_CountStdMld takes two more parameters than its Op binds: $4 and
// $5, the days the two bounds begin with as timestamps (NULL where a bound does not begin with
// a date), which the backend derives from $2 and $3 so that an index bounds the search.
const PgStatement& Pg_Statement(Op op);

// The six tables of a schema, their keys and indexes: statements separated by ';', names
// unquoted, to run with the schema first on the search path.
extern const char* const kPgSchemaDdl;

// Operations whose statement is a query run through a cursor.
bool Pg_IsCursor(Op op);

}  // namespace pvc
