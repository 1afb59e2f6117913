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

struct Target {
  std::string net, schema, login, pass;
};

// NET8 SCHEMA [--login L] [--pass P]; false (and a message) on a malformed command line.
bool ParseTarget(const std::vector<std::string>& args, Target& t, std::string& why) {
  std::vector<std::string> plain;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--login" || args[i] == "--pass") {
      if (i + 1 >= args.size()) {
        why = args[i] + " needs a value";
        return false;
      }
      (args[i] == "--login" ? t.login : t.pass) = args[i + 1];
      ++i;
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() != 2) {
    why = "expected NET8 and SCHEMA";
    return false;
  }
  t.net = plain[0];
  t.schema = plain[1];
  return true;
}

// Harmless inputs of the kinds `info` takes: a person and a message type that cannot exist, and
// a day long past.
std::vector<pvc::Bind> ProbeInputs(const pvc::OpInfo& info) {
  std::vector<pvc::Bind> in;
  for (const char* k = info.in; *k != '\0'; ++k) {
    switch (*k) {
      case 'I': in.push_back(pvc::Bind::Int(0)); break;
      case 'D': in.push_back(pvc::Bind::Dat("19000101")); break;
      case 'P': in.push_back(pvc::Bind::DatTime("19000101000000")); break;
      default: in.push_back(pvc::Bind::Txt("~c~"));  // fits a message code's column too
    }
  }
  return in;
}

int SchemaCreate(const std::vector<std::string>& args) {
  Target t;
  std::string why;
  if (!ParseTarget(args, t, why)) return Ctl_Fail("schema-create: " + why);
  const int rc = pvc::CreateSchema(t.login, t.pass, t.net, t.schema, why);
  if (rc != pvc::kOk) return Ctl_Fail("schema-create: RC:" + std::to_string(rc) + " " + why);
  std::printf("schema %s created on %s\n", t.schema.c_str(), t.net.c_str());
  return 0;
}

// Runs each statement once with harmless values inside a transaction that is rolled back (the
// insert too: its row is rolled back with the rest), and prints its code: 0 or 1403 mean the
// statement runs on this schema; any other code comes with the engine's message, SQLSTATE and
// native number.
int SchemaCheck(const std::vector<std::string>& args) {
  Target t;
  std::string why;
  if (!ParseTarget(args, t, why)) return Ctl_Fail("schema-check: " + why);
  std::unique_ptr<pvc::Session> s;
  int rc = pvc::OpenSession(t.login, t.pass, t.net, s);
  if (rc != pvc::kOk) return Ctl_Fail("schema-check: logon RC:" + std::to_string(rc));
  rc = s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + t.schema);
  if (rc != pvc::kOk)
    return Ctl_Fail("schema-check: schema RC:" + std::to_string(rc) + " " + s->LastError().message);
  int failed = 0;
  for (const pvc::OpInfo& info : pvc::kOps) {
    const std::vector<pvc::Bind> in = ProbeInputs(info);
    pvc::Row row;
    std::unique_ptr<pvc::Cursor> cur;
    s->Savepoint("Schema_Check_Sp");
    switch (info.kind) {
      case pvc::OpKind::Cursor:
        rc = s->Open(info.op, in, cur);
        if (rc == pvc::kOk) rc = cur->Fetch(row);
        break;
      case pvc::OpKind::Select:
        rc = s->SelectOne(info.op, in, row);
        break;
      default:
        rc = s->Write(info.op, in);
    }
    const auto detail = s->LastError();
    s->RollbackTo("Schema_Check_Sp");
    const bool ok = rc == pvc::kOk || rc == pvc::kNoData;
    if (!ok) ++failed;
    // A failure with the engine's own state and number, as its documentation lists them.
    std::string text;
    if (!ok) {
      text = "  " + detail.message;
      if (!detail.sqlstate.empty() || detail.native != 0)
        text += " [" + detail.sqlstate +
                (detail.native != 0 ? " " + std::to_string(detail.native) : "") + "]";
    }
    std::printf("%-16s RC:%d%s\n", info.name, rc, text.c_str());
  }
  s->Commit();
  std::printf("%s\n", failed == 0 ? "all statements run" : "some statements fail");
  return failed == 0 ? 0 : 1;
}

const CtlCommand kCreate("schema-create", "schema-create NET8 SCHEMA [--login L --pass P]",
                         SchemaCreate);
const CtlCommand kCheck("schema-check", "schema-check NET8 SCHEMA [--login L --pass P]",
                        SchemaCheck);

}  // namespace
