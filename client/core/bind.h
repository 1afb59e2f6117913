// What every backend shares: the schema statement, the one identifier check, the conversion of a
// statement's inputs into the values an engine binds, and the recording of a failure's detail.
// Included by backends only; the job and the tools see client/client.h.
#pragma once

#include <string>
#include <vector>

#include "client/core/session.h"

namespace pvc {

// A letter, then letters, digits, '_', '$' or '#'; at most 128 characters. Only such names
// reach an SQL text or a file path.
bool IsIdentifier(const std::string& s);

// Reads the schema statement "ALTER SESSION SET CURRENT_SCHEMA=NAME" (keywords in any case,
// no blank around '='). 0 with NAME in `schema`; -900 for any other text, -2421 when NAME is
// not an identifier, the detail in `err`.
int ParseSchemaStatement(const std::string& text, std::string& schema, ErrorDetail& err);

// A statement's input as an engine binds it: NULL (`null`), an integer (`is_int`, `num`), or a
// text (`text`). Dates and points in time are texts 'YYYY-MM-DD HH:MM:SS'.
using Value = Cell;

// Checks `in` against `op`'s input kinds and converts it: integers as numbers, an empty text (of
// any kind) as NULL, dates through ToDbDate. 0 with `out` holding one value per input; the date
// code (-1861, -1843, -1847) for a malformed date, -600 for inputs that do not fit the
// statement; the detail in `err`.
int BindValues(Op op, const std::vector<Bind>& in, std::vector<Value>& out, ErrorDetail& err);

// Records a failure: `err` becomes exactly this detail. Returns `code`.
int SetError(ErrorDetail& err, int code, std::string message, int native = 0,
             std::string sqlstate = {});

}  // namespace pvc
