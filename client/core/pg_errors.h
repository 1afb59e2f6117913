// Translation of PostgreSQL failures into the job's SQL codes (client/codes.h). The backend
// calls these and nothing else to decide a code, so every mapping can be read in one place.
#pragma once

#include <string>

namespace pvc {

// The code for a statement that failed with `sqlstate` (five characters; empty when libpq
// reported the failure itself). `connection_ok` is false once the connection is gone: every
// failure then is a lost connection.
int Pg_TranslateState(const std::string& sqlstate, bool connection_ok);

// The code for a failed logon. `message` is libpq's error text produced with verbose error
// fields, from which the server's SQLSTATE is taken where the server sent one; a failure that
// carries none never reached a server and counts as unreachable.
int Pg_TranslateLogon(const std::string& message, bool needs_password);

// The SQLSTATE inside a verbose libpq message ("FATAL:  28P01:  ..."), or "" when there is none.
std::string Pg_StateInMessage(const std::string& message);

}  // namespace pvc
