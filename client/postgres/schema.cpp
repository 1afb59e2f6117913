// Creating a schema with the job's six tables on a PostgreSQL server (parvekctl schema-create).
#include <string>

#include "client/core/bind.h"
#include "client/core/codes.h"
#include "client/core/tool_statements.h"
#include "client/postgres/backend.h"
#include "client/postgres/conn.h"

namespace pvc {

int PgCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                   const std::string& schema, std::string& why) {
  PgTarget target;
  int rc = target.Set(user, password, net, why);
  if (rc != kOk) return rc;
  if (!IsIdentifier(schema)) {
    why = "schema name '" + schema + "' is not an identifier";
    return kBadSchemaName;
  }
  PgConnPtr conn;
  ErrorDetail err;
  rc = target.Connect(conn, err);
  if (rc != kOk) {
    why = "logon failed: " + err.message;
    return rc;
  }
  const std::string name = Pg_QuoteFolded(schema);
  // CREATE SCHEMA fails on an existing schema, so an existing one is never touched; the whole
  // text is one transaction.
  rc = Pg_Exec(conn.get(),
               "BEGIN; " + Tool_Sql(ToolOp::PgCreateSchema, {name}) + "; " +
                   Tool_Sql(ToolOp::PgSchemaFirst, {name}) + "; " + kPgSchemaDdl + " COMMIT",
               err);
  if (rc != kOk) {
    if (err.sqlstate == "42P06") {
      why = "schema " + name + " exists already; it is not changed";
      return kSchemaExists;
    }
    why = "cannot create schema " + name + ": " + err.message;
    return rc;
  }
  return kOk;
}

}  // namespace pvc
