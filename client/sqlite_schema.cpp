// SQLite backend: creating a schema file with the job's six tables.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/net8_mask.h"
#include "client/backends.h"
#include "client/codes.h"
#include "client/sqlite_internal.h"

namespace pvc {
namespace sqlite {

// A date column holds NULL or one text form, 'YYYY-MM-DD HH:MM:SS', of a real calendar date.
#define DATE_CHECK(c)                                                                   \
  " CHECK (" c " IS NULL OR (typeof(" c ") = 'text' AND " c                             \
  " GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'" \
  " AND datetime(" c ", '+0 days') IS " c "))"

const char* const kSchemaDdl =
    "CREATE TABLE Krv327Tag ("
    " TagPnr TEXT NOT NULL,"
    " TagTag TEXT NOT NULL" DATE_CHECK("TagTag") ","
    " TagVon TEXT" DATE_CHECK("TagVon") ","
    " TagUhr TEXT" DATE_CHECK("TagUhr") ","
    " TagBis TEXT" DATE_CHECK("TagBis") ","
    " TagEnd TEXT" DATE_CHECK("TagEnd") ","
    " TagTgb TEXT, TagTgs INTEGER, TagHtv TEXT, TagHvs INTEGER, TagHtn TEXT, TagHns INTEGER,"
    " PRIMARY KEY (TagPnr, TagTag)) WITHOUT ROWID;"
    // The yesterday cursor reads one day across all persons.
    "CREATE INDEX Krv327Tag_Day ON Krv327Tag (TagTag);"
    "CREATE TABLE Krv320Tgb ("
    " TgbPnr TEXT NOT NULL,"
    " TgbDtm TEXT NOT NULL" DATE_CHECK("TgbDtm") ","
    " TgbZtr INTEGER NOT NULL,"
    " TgbSol INTEGER,"
    " PRIMARY KEY (TgbPnr, TgbDtm, TgbZtr)) WITHOUT ROWID;"
    "CREATE TABLE Krv321Bch ("
    " BchPnr TEXT NOT NULL,"
    " BchVon TEXT NOT NULL" DATE_CHECK("BchVon") ","
    " BchUhr TEXT NOT NULL" DATE_CHECK("BchUhr") ","
    " BchFkt INTEGER NOT NULL,"
    " BchBis TEXT" DATE_CHECK("BchBis") ","
    " BchVws TEXT" DATE_CHECK("BchVws") ","
    " BchFcd TEXT, BchZwt INTEGER, BchAbt TEXT, BchKst TEXT, BchKtr TEXT, BchKrt TEXT,"
    " BchAzt TEXT, BchVra TEXT, BchTxt INTEGER, BchSta INTEGER, BchErf TEXT, BchTrm TEXT,"
    " BchDat TEXT" DATE_CHECK("BchDat") ","
    " PRIMARY KEY (BchPnr, BchVon, BchUhr, BchFkt)) WITHOUT ROWID;"
    "CREATE TABLE Krv131Fcd ("
    " FcdNum TEXT NOT NULL PRIMARY KEY,"
    " FcdTyp INTEGER, FcdZwt INTEGER, FcdStd INTEGER, FcdSol INTEGER, FcdPri INTEGER,"
    " FcdGpu INTEGER, FcdFcd INTEGER, FcdFlg TEXT, FcdSta INTEGER);"
    "CREATE TABLE Krv329Ztg ("
    " ZtgPnr TEXT,"
    " ZtgVon TEXT" DATE_CHECK("ZtgVon") ","
    " ZtgAzt TEXT, ZtgSta INTEGER);"
    "CREATE INDEX Krv329Ztg_PnrDay ON Krv329Ztg (ZtgPnr, ZtgVon);"
    "CREATE TABLE Krv140Azv ("
    " AzvNum TEXT,"
    " AzvSol INTEGER, AzvSo2 INTEGER, AzvVhs INTEGER, AzvHso INTEGER, AzvHs2 INTEGER,"
    " AzvHtv INTEGER,"
    " AzvGvo TEXT" DATE_CHECK("AzvGvo") ","
    " AzvGbi TEXT" DATE_CHECK("AzvGbi") ","
    " AzvSta INTEGER);"
    "CREATE INDEX Krv140Azv_NumFrom ON Krv140Azv (AzvNum, AzvGvo);";

}  // namespace sqlite

int SqliteCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                       const std::string& schema, std::string& why) {
  (void)user;
  (void)password;
  using namespace sqlite;
  const std::string dir = DirOf(net);
  if (dir.empty()) {
    why = "'" + MaskNet(net) + "' names no existing directory";
    return kBadNetName;
  }
  if (!IsIdentifier(schema)) {
    why = "schema name '" + schema + "' is not an identifier";
    return kBadSchemaName;
  }
  const std::string path = SchemaPath(dir, schema);
  // Claim the file name first, so that an existing schema is never touched.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    const int err = errno;
    why = err == EEXIST ? path + " exists already; it is not overwritten"
                        : "cannot create " + path + ": " + std::strerror(err);
    return err == EEXIST ? kSchemaExists : kNoPrivilege;
  }
  ::close(fd);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  DbHandle db(raw);
  ErrorDetail detail;
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(raw, (std::string("BEGIN;") + kSchemaDdl + "COMMIT;").c_str(), nullptr,
                      nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const int code = Translate(rc, raw, detail);
    why = "cannot create the tables in " + path + ": " + detail.message;
    db.reset();
    ::unlink(path.c_str());
    return code;
  }
  return kOk;
}

}  // namespace pvc
