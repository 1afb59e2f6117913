#include "client/postgres/conn.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "client/core/codes.h"
#include "client/core/pg_errors.h"
#include "run/ground/DatabaseAddress.h"

namespace pvc {
namespace {

int g_lock_wait_ms = 30000;
int g_commit_wait_ms = 60000;
constexpr int kCancelAnswerMs = 5000;

// Waits until `conn` has a whole result or `deadline` has passed; false on the deadline or
// when the connection failed.
bool AwaitResult(PGconn* conn, std::chrono::steady_clock::time_point deadline) {
  while (PQisBusy(conn) == 1) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{PQsocket(conn), POLLIN, 0};
    const int n = poll(&pfd, 1, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) return false;
    if (n > 0 && PQconsumeInput(conn) != 1) return true;  // PQgetResult reports the failure
  }
  return true;
}

// Applied to every connection: texts and dates as the job reads them, the bounded lock wait
// before a statement fails with -54 and commits durable when they return. The server's own
// limits (statement_timeout and the like) are left as the server sets them.
std::string SessionSetup() {
  return "SET datestyle = 'ISO, YMD'; SET client_encoding = 'UTF8'; SET lock_timeout = " +
         std::to_string(g_lock_wait_ms) + "; SET synchronous_commit = on";
}

// A URI parameter that holds a secret: user names and passwords come from LOGIN and PASS only,
// as NET8 is printed when the connect fails.
bool IsCredential(const char* keyword) {
  return std::strcmp(keyword, "user") == 0 || std::strstr(keyword, "password") != nullptr;
}

void Wipe(std::string& s) {
  volatile char* p = s.data();
  for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
  s.clear();
}

std::string Trimmed(const char* msg) {
  std::string s = msg != nullptr ? msg : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// A port list as libpq takes it: numbers from 1 to 65535, separated by commas (an empty entry
// stands for the default port).
bool PortsValid(const char* ports) {
  long value = 0;
  bool digits = false;
  for (const char* p = ports;; ++p) {
    if (*p == ',' || *p == '\0') {
      if (digits && (value < 1 || value > 65535)) return false;
      if (*p == '\0') return true;
      value = 0;
      digits = false;
    } else if (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p - '0');
      if (value > 65535) return false;
      digits = true;
    } else {
      return false;
    }
  }
}

}  // namespace

void PgSetLockWaitMs(int ms) { g_lock_wait_ms = ms > 0 ? ms : 1; }
void PgSetCommitWaitMs(int ms) { g_commit_wait_ms = ms > 0 ? ms : 1; }

int Pg_AwaitBounded(PGconn* conn, const char* what, ErrorDetail& err) {
  CountTrip();
  const auto now = std::chrono::steady_clock::now();
  bool answered = AwaitResult(conn, now + std::chrono::milliseconds(g_commit_wait_ms));
  if (!answered) {
    char why[256];
    PGcancel* cancel = PQgetCancel(conn);
    if (cancel != nullptr) {
      PQcancel(cancel, why, sizeof why);
      PQfreeCancel(cancel);
    }
    answered = AwaitResult(
        conn, std::chrono::steady_clock::now() + std::chrono::milliseconds(kCancelAnswerMs));
  }
  if (answered) return kOk;
  err = ErrorDetail{kLostConnection, 0, "",
                    std::string(what) + " did not end within its bound; its outcome is not known"};
  return kLostConnection;
}

int Pg_ExecBounded(PGconn* conn, const char* sql, PgResultPtr& out, ErrorDetail& err) {
  out.reset();
  if (PQsendQuery(conn, sql) != 1) return Pg_ResultCode(conn, nullptr, err);
  if (Pg_AwaitBounded(conn, sql, err) != kOk) return kLostConnection;
  // The last result is the statement's; read on to the end so the connection is free again.
  for (PGresult* r; (r = PQgetResult(conn)) != nullptr;) out.reset(r);
  const ExecStatusType st = out ? PQresultStatus(out.get()) : PGRES_FATAL_ERROR;
  if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return kOk;
  const int rc = Pg_ResultCode(conn, out.get(), err);
  out.reset();
  return rc;
}

PgTarget::~PgTarget() { Wipe(password_); }

int PgTarget::Set(const std::string& user, const std::string& password, const std::string& net,
                  std::string& why) {
  if (DatabaseAddress_Parse(net).engine != DbEngine::kPostgres) {
    why = "not a PostgreSQL connection URI";
    return kBadNetName;
  }
  char* errmsg = nullptr;
  PQconninfoOption* opts = PQconninfoParse(net.c_str(), &errmsg);
  if (opts == nullptr) {
    why = "malformed PostgreSQL connection URI";
    if (errmsg != nullptr) {
      why += ": " + Trimmed(errmsg);
      PQfreemem(errmsg);
    }
    return kBadNetName;
  }
  int rc = kOk;
  for (PQconninfoOption* o = opts; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    if (IsCredential(o->keyword)) {
      why = "the NET8 URI carries a user name or password; they belong in LOGIN and PASS";
      rc = kBadNetName;
    } else if (std::strcmp(o->keyword, "connect_timeout") == 0) {
      const int t = std::atoi(o->val);
      if (t > 0) timeout_s_ = t;
    } else if (std::strcmp(o->keyword, "port") == 0 && !PortsValid(o->val)) {
      why = "the NET8 URI names no valid port";
      rc = kBadNetName;
    }
  }
  PQconninfoFree(opts);
  if (rc != kOk) return rc;
  user_ = user;
  Wipe(password_);
  password_ = password;
  net_ = net;
  return kOk;
}

int PgTarget::Connect(PgConnPtr& out, ErrorDetail& err, bool cursor_link) const {
  // TCP keepalives first, so that a URI may set its own; then the URI (expanded into its
  // parts); the credentials after it, so they take effect. With keepalives a server that
  // vanished without closing the connection ends a wait with a lost connection (-3114)
  // within about two minutes instead of never.
  const char* keys[] = {"keepalives",
                        "keepalives_idle",
                        "keepalives_interval",
                        "keepalives_count",
                        "tcp_user_timeout",
                        "dbname",
                        "user",
                        "password",
                        "fallback_application_name",
                        nullptr};
  const char* vals[] = {"1",      "60",         "10",          "6",
                        "120000", net_.c_str(), user_.c_str(), password_.c_str(),
                        "parvek", nullptr};
  PgConnPtr conn(PQconnectStartParams(keys, vals, 1));
  err = ErrorDetail{};
  if (!conn) {
    err.code = kInternal;
    err.message = "out of memory";
    return err.code;
  }
  // Verbose messages carry the server's SQLSTATE, which tells a refused password apart from
  // an unreachable server whatever language the server speaks.
  PQsetErrorVerbosity(conn.get(), PQERRORS_VERBOSE);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s_);
  PostgresPollingStatusType st =
      PQstatus(conn.get()) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  bool timed_out = false;
  while (st != PGRES_POLLING_OK && st != PGRES_POLLING_FAILED) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd pfd{PQsocket(conn.get()),
               static_cast<short>(st == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    const int n = poll(&pfd, 1, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) break;
    if (n > 0) st = PQconnectPoll(conn.get());
  }
  if (st != PGRES_POLLING_OK) {
    err.message =
        timed_out ? "timeout expired while connecting" : Trimmed(PQerrorMessage(conn.get()));
    err.sqlstate = Pg_StateInMessage(err.message);
    err.code = timed_out
                   ? kNoListener
                   : Pg_TranslateLogon(err.message, PQconnectionNeedsPassword(conn.get()) != 0);
    return err.code;
  }
  CountLogon();  // PgConnCloser counts the logoff of a connection that has a server process
  PQsetErrorVerbosity(conn.get(), PQERRORS_DEFAULT);
  // The server's notices and warnings never reach the job's standard error.
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  // A cursor connection runs the same few prepared queries for every person: one generic plan,
  // made once, instead of a plan per execution.
  const std::string setup =
      SessionSetup() + (cursor_link ? "; SET plan_cache_mode = force_generic_plan" : "");
  const int rc = Pg_Exec(conn.get(), setup, err);
  if (rc != kOk) return rc;
  out = std::move(conn);
  return kOk;
}

int Pg_ResultCode(PGconn* conn, const PGresult* res, ErrorDetail& err) {
  err = ErrorDetail{};
  const char* state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
  err.sqlstate = state != nullptr ? state : "";
  err.message = Trimmed(res != nullptr ? PQresultErrorMessage(res) : PQerrorMessage(conn));
  if (err.message.empty()) err.message = Trimmed(PQerrorMessage(conn));
  err.code = Pg_TranslateState(err.sqlstate, PQstatus(conn) == CONNECTION_OK);
  return err.code;
}

int Pg_Exec(PGconn* conn, const std::string& sql, ErrorDetail& err) {
  CountTrip();
  PgResultPtr res(PQexec(conn, sql.c_str()));
  const ExecStatusType st = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
  if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK || st == PGRES_EMPTY_QUERY) return kOk;
  return Pg_ResultCode(conn, res.get(), err);
}

std::string Pg_Fold(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string Pg_QuoteFolded(const std::string& s) { return "\"" + Pg_Fold(s) + "\""; }

const char* Pg_StatementName(Op op) {
  static const auto names = [] {
    std::array<std::string, kOpCount> n;
    for (size_t i = 0; i < kOpCount; ++i) {
      n[i] = "pvk_";
      for (const char* c = kOps[i].name; *c != '\0'; ++c)
        n[i] += static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
    }
    return n;
  }();
  return names[static_cast<size_t>(op)].c_str();
}

}  // namespace pvc
