// parvek_testjob: the job's real program entry, built for the tests only, with two test hooks
// that the release program does not have. Both are read from the environment:
//
//   PARVEK_TEST_FAULTS=N:CODE[,N:CODE...]  the N-th database call of the run (counted from 1
//        over every call the job makes on its session and its cursors; the logon and the
//        night guard's own session are not counted) returns CODE without reaching the database.
//   PARVEK_TEST_TRACE=FILE                 one line per database call is appended to FILE:
//        "N KIND OP PNR DAY =CODE" (KIND Dynamic, Open, Fetch, Select, Write, Savepoint,
//        Rollback, Commit; OP the statement; PNR the person number and DAY the first date
//        input of the call; '-' where there is none; CODE the call's result).
//   PARVEK_TEST_BUSY_MS=MS                 how long a statement waits for a lock held by
//        another program (the release program always waits 30 s).
//   PARVEK_TEST_COMMIT_MS=MS               PostgreSQL: how long a commit may take before it is
//        cancelled (the release program: 60 s).
//
// The hooks wrap every backend of this build through the client registry, so the job's code
// runs unchanged.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "client/backends.h"
#include "client/client.h"
#include "run/Driver.h"
#include "tests/support/wait_knobs.h"

namespace {

using pvc::Bind;
using pvc::Op;

const char* OpName(Op op) { return pvc::Op_Info(op).name; }

struct Hooks {
  std::map<long, int> faults;  // call number -> code
  std::FILE* trace = nullptr;
  long calls = 0;

  // Counts a call; returns true with `code` set when this call is to fail.
  bool Next(const char* kind, const char* op, const std::string& in, int& code, long& n) {
    n = ++calls;
    if (trace != nullptr)
      std::fprintf(trace, "%ld %s %s %s", n, kind, op, in.empty() ? "- -" : in.c_str());
    const auto it = faults.find(n);
    if (it == faults.end()) return false;
    code = it->second;
    return true;
  }
  int Done(int rc) {
    if (trace != nullptr) {
      std::fprintf(trace, " =%d\n", rc);
      std::fflush(trace);
    }
    return rc;
  }
};
Hooks g_hooks;

// "PNR DAY" of a call's inputs: the person number (the first text; for the day update its
// 7th input; none for the message-type reads) and the first date.
std::string Who(Op op, const std::vector<Bind>& in) {
  std::string pnr = "-", day = "-";
  for (const auto& b : in) {
    if (b.kind == Bind::Kind::Text && pnr == "-" && !b.text.empty()) pnr = b.text;
    if (b.kind == Bind::Kind::Date && day == "-") day = b.text;
  }
  if (op == Op::TagUpdate && in.size() >= 7) pnr = in[6].text;
  if (op == Op::FcdRead || op == Op::FcdReadFlg) pnr = "-";  // their input is a message-type code
  return pnr + " " + day;
}

class TestCursor final : public pvc::CursorWrapper {
 public:
  TestCursor(std::unique_ptr<pvc::Cursor> inner, Op op)
      : pvc::CursorWrapper(std::move(inner)), op_(op) {}
  int Fetch(pvc::Row& row) override {
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Fetch", OpName(op_), "", code, n)) return g_hooks.Done(code);
    return g_hooks.Done(target().Fetch(row));
  }

 private:
  Op op_;
};

class TestSession final : public pvc::SessionWrapper {
 public:
  TestSession(std::unique_ptr<pvc::Session> inner, bool job)
      : pvc::SessionWrapper(std::move(inner)), job_(job) {}

  // The night's guard logs on first, on a session of its own: only the job's session is
  // counted and faulted.
  bool Job() const { return job_; }

  int ExecDynamic(const std::string& text) override {
    if (!Job()) return target().ExecDynamic(text);
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Dynamic", "-", "", code, n)) return g_hooks.Done(code);
    return g_hooks.Done(target().ExecDynamic(text));
  }
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<pvc::Cursor>& out) override {
    if (!Job()) return target().Open(op, in, out);
    out.reset();
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Open", OpName(op), Who(op, in), code, n)) return g_hooks.Done(code);
    std::unique_ptr<pvc::Cursor> c;
    const int rc = target().Open(op, in, c);
    if (rc == 0) out = std::make_unique<TestCursor>(std::move(c), op);
    return g_hooks.Done(rc);
  }
  int SelectOne(Op op, const std::vector<Bind>& in, pvc::Row& out) override {
    if (!Job()) return target().SelectOne(op, in, out);
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Select", OpName(op), Who(op, in), code, n)) return g_hooks.Done(code);
    return g_hooks.Done(target().SelectOne(op, in, out));
  }
  int Write(Op op, const std::vector<Bind>& in) override {
    if (!Job()) return target().Write(op, in);
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Write", OpName(op), Who(op, in), code, n)) return g_hooks.Done(code);
    return g_hooks.Done(target().Write(op, in));
  }
  int Savepoint(const std::string& name) override {
    if (!Job()) return target().Savepoint(name);
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Savepoint", name.c_str(), "", code, n)) return g_hooks.Done(code);
    return g_hooks.Done(target().Savepoint(name));
  }
  int RollbackTo(const std::string& name) override {
    if (!Job()) return target().RollbackTo(name);
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Rollback", name.c_str(), "", code, n)) return g_hooks.Done(code);
    return g_hooks.Done(target().RollbackTo(name));
  }
  int Commit() override {
    if (!Job()) return target().Commit();
    int code = 0;
    long n = 0;
    if (g_hooks.Next("Commit", "-", "", code, n)) return g_hooks.Done(code);
    return g_hooks.Done(target().Commit());
  }

 private:
  bool job_;
};

pvc::LogonFn Wrapped(pvc::LogonFn inner) {
  return [inner](const std::string& user, const std::string& password, const std::string& net,
                 std::unique_ptr<pvc::Session>& out) {
    static int logons = 0;
    std::unique_ptr<pvc::Session> s;
    const int rc = inner(user, password, net, s);
    if (rc == 0) out = std::make_unique<TestSession>(std::move(s), ++logons > 1);
    return rc;
  };
}

void ReadFaults(const char* list) {
  std::string s = list;
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    const std::string item = s.substr(pos, end - pos);
    const std::size_t colon = item.find(':');
    if (colon != std::string::npos)
      g_hooks.faults[std::atol(item.c_str())] = std::atoi(item.c_str() + colon + 1);
    pos = end + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* f = std::getenv("PARVEK_TEST_FAULTS")) ReadFaults(f);
  if (const char* t = std::getenv("PARVEK_TEST_TRACE")) g_hooks.trace = std::fopen(t, "a");
  if (const char* b = std::getenv("PARVEK_TEST_BUSY_MS")) {
    pvc::SqliteSetBusyWaitMs(std::atoi(b));
#ifdef PARVEK_WITH_POSTGRES
    pvc::PgSetLockWaitMs(std::atoi(b));
#endif
  }
#ifdef PARVEK_WITH_POSTGRES
  if (const char* c = std::getenv("PARVEK_TEST_COMMIT_MS")) pvc::PgSetCommitWaitMs(std::atoi(c));
#endif

  pvc::RegisterBackend("sqlite:", Wrapped(pvc::SqliteLogon), pvc::SqliteCreateSchema);
#ifdef PARVEK_WITH_POSTGRES
  pvc::RegisterBackend("postgresql://", Wrapped(pvc::PgLogon), pvc::PgCreateSchema);
  pvc::RegisterBackend("postgres://", Wrapped(pvc::PgLogon), pvc::PgCreateSchema);
#endif
  const int rc = Run_Main(argc, argv);
  if (g_hooks.trace != nullptr) std::fclose(g_hooks.trace);
  return rc;
}
