// parvekctl schema-create / schema-check: make a schema database for the job, and try every
// statement of the job once against one.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "tools/ctl.h"

namespace {

int SchemaCreate(CtlTarget& t) {
  if (const int rc = Ctl_ResolveTarget("schema-create", t, CtlOperands::kNetAndSchema)) return rc;
  std::string why;
  const int rc = pvc::CreateSchema(t.login, t.pass, t.net, t.schema, why);
  if (rc != pvc::kOk) return Ctl_Fail("schema-create: RC:" + std::to_string(rc) + " " + why);
  std::printf("schema %s created on %s\n", t.schema.c_str(), t.net.c_str());
  return 0;
}

struct Probe {
  const char* name;
  pvc::Op op;
  std::vector<pvc::Bind> in;
};

// One probe per statement of the job, with harmless values.
std::vector<Probe> Probes() {
  using pvc::Bind;
  using pvc::Op;
  const Bind pnr = Bind::Txt("~check~"), day = Bind::Dat("19000101");
  const Bind from = Bind::Txt("19000101000000"), to = Bind::Txt("19000101235959");
  return {
      {"TagYday", Op::TagYday, {}},
      {"TagPrev", Op::TagPrev, {pnr, day}},
      {"BchTagMld", Op::BchTagMld, {pnr, day}},
      {"BchStdMld", Op::BchStdMld, {pnr, day}},
      {"FcdReadFlg", Op::FcdReadFlg, {Bind::Txt("~c~")}},
      {"FcdRead", Op::FcdRead, {Bind::Txt("~c~")}},
      {"AzvRead", Op::AzvRead, {pnr, day}},
      {"BchCountTagMld", Op::BchCountTagMld, {pnr, day}},
      {"BchCountStdMld", Op::BchCountStdMld, {pnr, from, to}},
      {"TagUpdate", Op::TagUpdate,
       {Bind::Txt(""), Bind::Int(0), Bind::Txt(""), Bind::Int(0), Bind::Txt(""), Bind::Int(0),
        pnr, day}},
      {"BchUpdFkt", Op::BchUpdFkt, {Bind::Int(45), pnr, day, Bind::Txt("000000"), Bind::Int(1)}},
      {"BchDelFkt", Op::BchDelFkt, {pnr, day, Bind::Txt("000000"), Bind::Int(45)}},
  };
}

// Runs each statement once with harmless values inside a transaction that is rolled back,
// and prints its code: 0 or 1403 mean the statement runs on this schema.
int SchemaCheck(CtlTarget& t) {
  if (const int rc = Ctl_ResolveTarget("schema-check", t, CtlOperands::kNetAndSchema)) return rc;
  using pvc::Op;
  std::unique_ptr<pvc::Session> s;
  std::string why;
  int rc = Ctl_OpenSchema(t, s, why);
  if (rc != pvc::kOk) return Ctl_Fail("schema-check: RC:" + std::to_string(rc) + " " + why);
  int failed = 0;
  for (const auto& p : Probes()) {
    pvc::Row row;
    std::unique_ptr<pvc::Cursor> cur;
    s->Savepoint("Schema_Check_Sp");
    switch (p.op) {
      case Op::TagYday:
      case Op::TagPrev:
      case Op::BchTagMld:
      case Op::BchStdMld:
        rc = s->Open(p.op, p.in, cur);
        if (rc == pvc::kOk) rc = cur->Fetch(row);
        break;
      case Op::TagUpdate:
      case Op::BchUpdFkt:
      case Op::BchDelFkt:
        rc = s->Write(p.op, p.in);
        break;
      default:
        rc = s->SelectOne(p.op, p.in, row);
    }
    const auto detail = s->LastError();
    s->RollbackTo("Schema_Check_Sp");
    const bool ok = rc == pvc::kOk || rc == pvc::kNoData;
    if (!ok) ++failed;
    std::printf("%-16s RC:%d%s%s\n", p.name, rc, ok ? "" : "  ", ok ? "" : detail.message.c_str());
  }
  s->Commit();
  std::printf("%s\n", failed == 0 ? "all statements run" : "some statements fail");
  return failed == 0 ? 0 : 1;
}

const CtlCommand kCreate("schema-create", "Create a schema with the job's six tables", [](CtlArgs& args) {
  auto t = std::make_shared<CtlTarget>();
  Ctl_AddTarget(args, *t, CtlOperands::kNetAndSchema);
  return [t] { return SchemaCreate(*t); };
});
const CtlCommand kCheck("schema-check", "Try every statement of the job once on a schema (exit 1 when one fails)",
                        [](CtlArgs& args) {
                          auto t = std::make_shared<CtlTarget>();
                          Ctl_AddTarget(args, *t, CtlOperands::kNetAndSchema);
                          return [t] { return SchemaCheck(*t); };
                        });

}  // namespace
