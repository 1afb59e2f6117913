// parvekctl schema-create / schema-check: make a schema database for the job, and try every
// statement of the job once against one.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "client/core/tool_statements.h"
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

// Harmless inputs of the kinds `info` takes: a person and a message type that cannot exist, and
// a day long past.
std::vector<pvc::Bind> ProbeInputs(const pvc::OpInfo& info) {
  std::vector<pvc::Bind> in;
  for (const char* k = info.in; *k != '\0'; ++k) {
    switch (*k) {
      case 'I': in.push_back(pvc::Bind::Int(0)); break;
      case 'D': in.push_back(pvc::Bind::Dat("19000101")); break;
      case 'P': in.push_back(pvc::Bind::DatTime("19000101000000")); break;
      case 'N': in.push_back(pvc::Bind::Txt("0")); break;
      default: in.push_back(pvc::Bind::Txt("~c~"));  // fits a message code's column too
    }
  }
  return in;
}

}  // namespace

// Runs each statement once with harmless values inside a savepoint that is rolled back (the
// insert too: its row goes with the rollback), and passes each code on: 0 or 1403 mean the
// statement runs on this schema; any other code comes with the engine's message, SQLSTATE and
// native number. The transaction is rolled back at the end; a probe whose undo failed leaves it
// uncommitted.
int Ctl_ProbeStatements(pvc::Session& s, const CtlProbeResult& each) {
  bool undo_failed = false;
  int failed = 0;
  for (const pvc::OpInfo& info : pvc::kOps) {
    const std::vector<pvc::Bind> in = ProbeInputs(info);
    pvc::Row row;
    std::unique_ptr<pvc::Cursor> cur;
    int rc;
    s.Savepoint("Schema_Check_Sp");
    switch (info.kind) {
      case pvc::OpKind::Cursor:
        rc = s.Open(info.op, in, cur);
        if (rc == pvc::kOk) rc = cur->Fetch(row);
        break;
      case pvc::OpKind::Select: rc = s.SelectOne(info.op, in, row); break;
      default: rc = s.Write(info.op, in);
    }
    const auto detail = s.LastError();
    if (s.RollbackTo("Schema_Check_Sp") != pvc::kOk && rc == pvc::kOk && pvc::Op_IsWrite(info.op))
      undo_failed = true;
    const bool ok = rc == pvc::kOk || rc == pvc::kNoData;
    if (!ok) ++failed;
    // A failure with the engine's own state and number, as its documentation lists them.
    std::string text;
    if (!ok) {
      text = detail.message;
      if (!detail.sqlstate.empty() || detail.native != 0)
        text += " [" + detail.sqlstate +
                (detail.native != 0 ? " " + std::to_string(detail.native) : "") + "]";
    }
    each(info, rc, text);
  }
  // Nothing of the probes is kept: the whole transaction is rolled back where the backend can,
  // otherwise the savepoints have undone everything and the commit only ends the transaction.
  if (pvc::ToolsOf(s).RollbackAll() != pvc::kOk && !undo_failed) s.Commit();
  return failed;
}

namespace {

// The target of `command` completed and its schema opened in `s`: 0, or the exit code after
// the message.
int OpenTarget(const std::string& command, CtlTarget& t, std::unique_ptr<pvc::Session>& s) {
  if (const int rc = Ctl_ResolveTarget(command, t, CtlOperands::kNetAndSchema)) return rc;
  std::string why;
  const int rc = Ctl_OpenSchema(t, s, why);
  return rc == pvc::kOk ? 0 : Ctl_Fail(command + ": RC:" + std::to_string(rc) + " " + why);
}

// Runs each statement once with harmless values inside a transaction that is rolled back,
// and prints its code: 0 or 1403 mean the statement runs on this schema.
int SchemaCheck(CtlTarget& t) {
  std::unique_ptr<pvc::Session> s;
  if (const int rc = OpenTarget("schema-check", t, s)) return rc;
  if (const std::string notice = pvc::ToolsOf(*s).Notice(); !notice.empty())
    std::printf("note: %s\n", notice.c_str());
  const int failed = Ctl_ProbeStatements(*s, [](const pvc::OpInfo& info, int code,
                                                const std::string& message) {
    std::printf("%-16s RC:%d%s%s\n", info.name, code, message.empty() ? "" : "  ", message.c_str());
  });
  std::printf("%s\n", failed == 0 ? "all statements run" : "some statements fail");
  return failed == 0 ? 0 : 1;
}

// Adds what a schema made by an earlier version lacks: the record of nights done. Run once per
// schema; a schema that has it already is left as it is.
int SchemaUpgrade(CtlTarget& t) {
  std::unique_ptr<pvc::Session> s;
  if (const int rc = OpenTarget("schema-upgrade", t, s)) return rc;
  std::vector<pvc::Row> rows;
  if (pvc::ToolsOf(*s).Query(pvc::Tool_Sql(pvc::ToolOp::NightsOfDay, {"'00000000'"}), rows) ==
      pvc::kOk) {
    s->Commit();
    std::printf("schema %s has the record of nights done already; nothing to do\n",
                t.schema.c_str());
    return 0;
  }
  // The failed probe ended its transaction's use: start afresh for the table.
  pvc::ToolsOf(*s).RollbackAll();
  const int made = pvc::ToolsOf(*s).ExecScript(pvc::Tool_Text(pvc::ToolOp::NightsCreate));
  if (made != pvc::kOk)
    return Ctl_Fail("schema-upgrade: RC:" + std::to_string(made) + " " + s->LastError().message +
                    " (the job's user may lack the right to create a table: run it as the "
                    "schema's owner, or see the guide databases.md for the statement)");
  std::printf("schema %s: the record of nights done (table ParvekNights) added\n",
              t.schema.c_str());
  return 0;
}

const CtlCommand kUpgrade("schema-upgrade",
                          "Add the record of nights done to a schema made by an earlier version",
                          [](CtlArgs& args) {
                            auto t = std::make_shared<CtlTarget>();
                            Ctl_AddTarget(args, *t, CtlOperands::kNetAndSchema);
                            return [t] { return SchemaUpgrade(*t); };
                          });

const CtlCommand kCreate("schema-create", "Create a schema with the job's six tables",
                         [](CtlArgs& args) {
                           auto t = std::make_shared<CtlTarget>();
                           Ctl_AddTarget(args, *t, CtlOperands::kNetAndSchema);
                           return [t] { return SchemaCreate(*t); };
                         });
const CtlCommand kCheck("schema-check",
                        "Try every statement of the job once on a schema (exit 1 when one fails)",
                        [](CtlArgs& args) {
                          auto t = std::make_shared<CtlTarget>();
                          Ctl_AddTarget(args, *t, CtlOperands::kNetAndSchema);
                          return [t] { return SchemaCheck(*t); };
                        });

}  // namespace
