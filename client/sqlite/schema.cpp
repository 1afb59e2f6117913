// SQLite backend: creating a schema file with the job's six tables.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/core/codes.h"
#include "client/sqlite/backend.h"
#include "client/sqlite/internal.h"
#include "run/ground/DatabaseAddress.h"

namespace pvc {

int SqliteCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                       const std::string& schema, std::string& why) {
  (void)user;
  (void)password;
  using namespace sqlite;
  const std::string dir = DirOf(net);
  if (dir.empty()) {
    why = "'" + Net8_Mask(net) + "' names no existing directory";
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
  sqlite::ConfigureLibrary();
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  DbHandle db(raw);
  ErrorDetail detail;
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(raw, Tool_Text(ToolOp::SqliteWal), nullptr, nullptr, nullptr);
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
