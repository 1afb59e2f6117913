#include "tests/stmt/fake_session.h"

namespace {

int NextCode(pvc::Op op) {
  auto& q = Fake().codes[op];
  if (q.empty()) return 0;
  const int rc = q.front();
  q.pop_front();
  return rc;
}

class FakeCursor : public pvc::Cursor {
 public:
  explicit FakeCursor(std::deque<pvc::Row> rows) : rows_(std::move(rows)) {}
  int Fetch(pvc::Row& row) override {
    if (rows_.empty()) return 1403;
    row = rows_.front();
    rows_.pop_front();
    return 0;
  }

 private:
  std::deque<pvc::Row> rows_;
};

class FakeSession : public pvc::Session {
 public:
  int ExecDynamic(const std::string& text) override {
    Fake().calls.push_back("dynamic " + text);
    return Fake().dynamic_code;
  }
  int Open(pvc::Op op, const std::vector<pvc::Bind>& in,
           std::unique_ptr<pvc::Cursor>& out) override {
    Record("open", op, in);
    const int rc = NextCode(op);
    if (rc != 0) return rc;
    out = std::make_unique<FakeCursor>(std::move(Fake().rows[op]));
    Fake().rows[op].clear();
    return 0;
  }
  int SelectOne(pvc::Op op, const std::vector<pvc::Bind>& in, pvc::Row& out) override {
    Record("select", op, in);
    const int rc = NextCode(op);
    if (rc != 0) return rc;
    auto& q = Fake().rows[op];
    if (q.empty()) return 1403;
    out = q.front();
    q.pop_front();
    return 0;
  }
  int Write(pvc::Op op, const std::vector<pvc::Bind>& in) override {
    Record("write", op, in);
    return NextCode(op);
  }
  int Savepoint(const std::string& name) override {
    Fake().calls.push_back("savepoint " + name);
    return 0;
  }
  int RollbackTo(const std::string& name) override {
    Fake().calls.push_back("rollback to " + name);
    return 0;
  }
  int Commit() override {
    Fake().calls.push_back("commit");
    auto& q = Fake().commit_codes;
    if (q.empty()) return 0;
    const int rc = q.front();
    q.pop_front();
    return rc;
  }
  pvc::ErrorDetail LastError() const override { return {}; }

 private:
  static void Record(const char* what, pvc::Op op, const std::vector<pvc::Bind>& in) {
    Fake().calls.push_back(std::string(what) + " " + pvc::Op_Info(op).name);
    Fake().binds.push_back(in);
  }
};

}  // namespace

FakeScript& Fake() {
  static FakeScript script;
  return script;
}

int FakeLogon() {
  pvc::RegisterBackend("fake:", [](const std::string&, const std::string&, const std::string&,
                                   std::unique_ptr<pvc::Session>& out) {
    Fake().calls.push_back("logon");
    if (Fake().logon_code != 0) return Fake().logon_code;
    out = std::make_unique<FakeSession>();
    return 0;
  });
  return pvc::Logon("u", "p", "fake:");
}

pvc::Cell TextCell(const std::string& s) { return pvc::Cell{false, false, 0, s}; }
pvc::Cell IntCell(int64_t v) { return pvc::Cell{false, true, v, {}}; }
pvc::Cell NullCell() { return pvc::Cell{}; }
