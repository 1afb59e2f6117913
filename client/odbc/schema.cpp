// The ODBC backend: creating a schema with the job's six tables (parvekctl schema-create).
#include <string>
#include <vector>

#include "client/core/tool_statements.h"
#include "client/odbc/backend.h"
#include "client/odbc/session.h"

namespace pvc {

int OdbcCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                     const std::string& schema, std::string& why) {
  using namespace odbc;
  if (!IsIdentifier(schema)) {
    why = "schema name '" + schema + "' is not an identifier";
    return kBadSchemaName;
  }
  odbc::Target t;
  if (odbc::ParseNet(net, t) != kOk) {
    why = "NET8 names no data source, or holds credentials of its own";
    return kBadNetName;
  }
  // A SQLite data source may name a file that does not exist yet: it is made here.
  const Engine by_driver = odbc::EngineOfDriver(odbc::DriverOf(t));
  const bool may_create_file =
      Dialect::Of(by_driver).traits.schema_creation == SchemaCreation::DatabaseFile;
  // A SQLite file is named like its schema; nothing is made under another name.
  const std::string named = may_create_file ? odbc::TargetAttribute(t, "Database") : "";
  if (!named.empty() && odbc::Lower(odbc::Stem(named)) != odbc::Lower(schema)) {
    why = "the data source's database is " + named + ", not schema " + schema;
    return kNoSchema;
  }
  std::shared_ptr<Shared> sh;
  Failure f;
  int rc = kOk;
  if (may_create_file) {
    sh = std::make_shared<Shared>();
    sh->env = std::make_shared<odbc::EnvHandle>();
    rc = odbc::Connect(sh->env, t, user, password, "", by_driver, sh->main, f);
    if (rc == kOk) {
      sh->dialect = Dialect::Of(odbc::EngineOf(DbmsName(*sh->main)));
      sh->txn.Configure(sh->Traits());
    }
  } else {
    rc = OpenAll(user, password, net, false, sh, f);
  }
  if (rc != kOk) {
    why = "logon failed: " + f.message;
    return rc;
  }
  Conn& c = *sh->main;
  std::vector<std::string> ddl;
  const SchemaCreation creation = sh->dialect.traits.schema_creation;
  if (creation == SchemaCreation::Schema) {
    const std::string q = "\"" + odbc::Lower(schema) + "\"";
    ddl = {Tool_Sql(ToolOp::PgCreateSchema, {q}), Tool_Sql(ToolOp::PgSchemaFirst, {q})};
    for (auto& s : odbc::SplitScript(kPgSchemaDdl)) ddl.push_back(s);
  } else if (creation == SchemaCreation::DatabaseFile) {
    const std::string file = SqliteFile(c);
    if (odbc::Lower(odbc::Stem(file)) != odbc::Lower(schema)) {
      why = "the data source's database is " + file + ", not schema " + schema;
      return kNoSchema;
    }
    rc = sh->Run(c, Tool_Text(ToolOp::SqliteWal));
    SQLHSTMT st = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st);
    std::string count = Tool_Text(ToolOp::SqliteCountTables);
    std::string n;
    bool null = false;
    if (rc == kOk && Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(count.data()), SQL_NTS)) &&
        Ok(SQLFetch(st)))
      odbc::GetText(st, 1, n, null, f);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    if (rc == kOk && n != "0") {
      why = "schema " + schema + " exists already (" + file + " holds tables); it is not changed";
      return kSchemaExists;
    }
    for (auto& s : odbc::SplitScript(sqlite::kSchemaDdl)) ddl.push_back(s);
  } else {
    why = "schemas on this server are made by its administrators (see the guide databases.md)";
    return kNoPrivilege;
  }
  if (!c.SetAutocommit(false)) return sh->FailOn(SQL_HANDLE_DBC, c.h);
  for (const std::string& s : ddl) {
    rc = sh->Run(c, s);
    if (rc != kOk) break;
  }
  if (rc == kOk) rc = sh->EndTran(c, SQL_COMMIT);
  if (rc != kOk) {
    if (sh->last.sqlstate == "42P06") {
      why = "schema " + schema + " exists already; it is not changed";
      return kSchemaExists;
    }
    why = "cannot create the tables: " + sh->last.message;
    return rc;
  }
  return kOk;
}

}  // namespace pvc
