// Creating a schema with the job's six tables on a PostgreSQL server (parvekctl schema-create).
#include <string>

#include "client/backends.h"
#include "client/codes.h"
#include "client/core.h"
#include "client/pg_conn.h"

namespace pvc {
namespace {

// Dates are timestamp(0) without time zone; names unquoted, so they fold to lower case as the
// job's statements do. Keys and indexes let every statement find a person's rows of one day
// without reading the person's history.
constexpr const char* kSchemaDdl =
    "CREATE TABLE Krv327Tag ("
    " TagPnr text NOT NULL, TagTag timestamp(0) NOT NULL,"
    " TagVon timestamp(0), TagUhr timestamp(0), TagBis timestamp(0), TagEnd timestamp(0),"
    " TagTgb text, TagTgs integer, TagHtv text, TagHvs integer, TagHtn text, TagHns integer,"
    " PRIMARY KEY (TagPnr, TagTag));"
    // The yesterday cursor reads one day across all persons.
    "CREATE INDEX Krv327Tag_Day ON Krv327Tag (TagTag);"
    "CREATE TABLE Krv320Tgb ("
    " TgbPnr text NOT NULL, TgbDtm timestamp(0) NOT NULL, TgbZtr integer NOT NULL,"
    " TgbSol integer,"
    " PRIMARY KEY (TgbPnr, TgbDtm, TgbZtr));"
    "CREATE TABLE Krv321Bch ("
    " BchPnr text NOT NULL, BchVon timestamp(0) NOT NULL, BchUhr timestamp(0) NOT NULL,"
    " BchFkt integer NOT NULL, BchBis timestamp(0), BchVws timestamp(0), BchFcd text,"
    " BchZwt integer, BchAbt text, BchKst text, BchKtr text, BchKrt text, BchAzt text,"
    " BchVra text, BchTxt integer, BchSta integer, BchErf text, BchTrm text,"
    " BchDat timestamp(0),"
    " PRIMARY KEY (BchPnr, BchVon, BchUhr, BchFkt));"
    "CREATE TABLE Krv131Fcd ("
    " FcdNum text NOT NULL PRIMARY KEY,"
    " FcdTyp integer, FcdZwt integer, FcdStd integer, FcdSol integer, FcdPri integer,"
    " FcdGpu integer, FcdFcd integer, FcdFlg text, FcdSta integer);"
    "CREATE TABLE Krv329Ztg ("
    " ZtgPnr text, ZtgVon timestamp(0), ZtgAzt text, ZtgSta integer);"
    "CREATE INDEX Krv329Ztg_PnrDay ON Krv329Ztg (ZtgPnr, ZtgVon);"
    "CREATE TABLE Krv140Azv ("
    " AzvNum text, AzvSol integer, AzvSo2 integer, AzvVhs integer, AzvHso integer,"
    " AzvHs2 integer, AzvHtv integer, AzvGvo timestamp(0), AzvGbi timestamp(0),"
    " AzvSta integer);"
    "CREATE INDEX Krv140Azv_NumFrom ON Krv140Azv (AzvNum, AzvGvo);";

}  // namespace

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
               "BEGIN; CREATE SCHEMA " + name + "; SET LOCAL search_path TO " + name + "; " +
                   kSchemaDdl + " COMMIT",
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
