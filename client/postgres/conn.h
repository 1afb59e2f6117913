// libpq handles and the connect step shared by the PostgreSQL session and schema tool.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <vector>

#include "client/core/counters.h"
#include "client/core/session.h"

namespace pvc {

struct PgConnCloser {
  void operator()(PGconn* c) const {
    if (PQbackendPID(c) != 0) CountLogoff();  // a connection that was established
    PQfinish(c);
  }
};
struct PgResultClearer {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgConnPtr = std::unique_ptr<PGconn, PgConnCloser>;
using PgResultPtr = std::unique_ptr<PGresult, PgResultClearer>;

// What it takes to open a connection: the NET8 URI and the credentials. Kept by a session so
// that it can open the connections its cursors run on; the password is wiped on destruction.
class PgTarget {
 public:
  PgTarget() = default;
  PgTarget(const PgTarget&) = delete;
  PgTarget& operator=(const PgTarget&) = delete;
  ~PgTarget();

  // Checks `net`: 0, or -12154 when it is no PostgreSQL URI, is malformed, or carries a user
  // name or password of its own (those come from LOGIN and PASS only). `why` says which; it
  // never repeats the URI.
  int Set(const std::string& user, const std::string& password, const std::string& net,
          std::string& why);

  // Opens a connection and prepares it for the job's statements (ISO dates, UTF-8, a bounded
  // lock wait, synchronous commit). 0 with `out` set; otherwise the logon's code (-1017,
  // -12541, -12514, ...) with `err` filled and `out` untouched.
  // `cursor_link`: the connection carries the session's cursors (generic plans only).
  int Connect(PgConnPtr& out, ErrorDetail& err, bool cursor_link = false) const;

 private:
  std::string user_, password_, net_;
  int timeout_s_ = 15;
};

// Waits for the next result of what was sent on `conn` at most the commit wait, cancelling and
// waiting a few seconds more past it, like Pg_ExecBounded. 0 once a result can be read;
// -3114 (with `err` naming `what`) when none came: the connection must be treated as lost.
int Pg_AwaitBounded(PGconn* conn, const char* what, ErrorDetail& err);

// Reads the answers to `queries` statements sent in pipeline mode, then the sync, and leaves
// pipeline mode. `each(q, result)` sees each statement's result (q from 0); the statement's
// further results are read and dropped. False when the connection broke on the way (a missing
// result, sync or exit): the connection must not be used again.
template <typename Each>
bool Pg_ReadPipeline(PGconn* conn, int queries, Each each) {
  for (int q = 0; q < queries; ++q) {
    PgResultPtr r(PQgetResult(conn));
    if (!r) return false;
    each(q, r);
    while (PGresult* rest = PQgetResult(conn)) PQclear(rest);  // the end of statement q
  }
  PgResultPtr sync(PQgetResult(conn));
  return sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC && PQexitPipelineMode(conn) == 1;
}

// Sends `sql` and waits for its result at most the commit wait (60 s). Past it the statement is
// cancelled and its answer awaited a few seconds more: the server's answer then decides
// (0 with `out` set, or its code). Without any answer the outcome is not known: -3114, and
// the caller must treat the connection as lost.
int Pg_ExecBounded(PGconn* conn, const char* sql, PgResultPtr& out, ErrorDetail& err);

// The code and detail of a result that is not a success (or of a failed call that gave no
// result at all). Translation through Pg_TranslateState.
int Pg_ResultCode(PGconn* conn, const PGresult* res, ErrorDetail& err);

// Runs one or more plain statements without parameters; 0 or the failure's code.
int Pg_Exec(PGconn* conn, const std::string& sql, ErrorDetail& err);

// The name of `op`'s prepared statement on a connection ("pvk_" and its name in lower case).
const char* Pg_StatementName(Op op);

// `s` folded to lower case and double-quoted, as PostgreSQL resolves an unquoted identifier.
// Only for texts that passed IsIdentifier (client/core/bind.h).
std::string Pg_QuoteFolded(const std::string& s);
std::string Pg_Fold(const std::string& s);

}  // namespace pvc
