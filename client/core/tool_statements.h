// The companion tool's statements, beside the job's statement table (client/core/statements.h):
// what parvekctl runs that the job never does. SQL text lives here and in the statement table
// only.
#pragma once

namespace pvc {

// ---- the schema's tables: the six tables, their keys, checks and indexes, per engine

namespace sqlite {
// Statements separated by ';', for a fresh SQLite file.
extern const char* const kSchemaDdl;
}  // namespace sqlite

// The six tables of a schema, their keys and indexes: statements separated by ';', names
// unquoted, to run with the schema first on the search path.
extern const char* const kPgSchemaDdl;

}  // namespace pvc
