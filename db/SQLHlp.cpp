#include "db/SQLHlp.h"

#include <string>

#include "client/client.h"
#include "client/codes.h"
#include "db/parveksql.h"

namespace {
constexpr const char* kSchemaStatement = "ALTER SESSION SET CURRENT_SCHEMA=";

std::string Str(const char* s) { return s != nullptr ? std::string(s) : std::string(); }
}  // namespace

// The logon takes user name, password and net service name as three values rather than one
// joined "user/password@net" text, so a password holding '/' or '@' cannot be misread.
int Db_Connect(const char* user, const char* password, const char* net, const char* schema) {
  return Db_Connect(user, password, net, schema, {});
}

int Db_Connect(const char* user, const char* password, const char* net, const char* schema,
               const std::vector<pvc::SessionDecorator>& decorators) {
  const int rc = pvc::Logon(Str(user), Str(password), Str(net), decorators);
  Stmt_SessionStarted();
  if (rc != 0) return rc;
  pvc::Session* session = pvc::Current();
  if (session == nullptr) return -3114;
  return session->ExecDynamic(kSchemaStatement + Str(schema));
}

int Db_Commit() {
  pvc::Session* session = pvc::Current();
  if (session == nullptr || Stmt_ConnectionLost() != 0) return 0;
  const int rc = session->Commit();
  Stmt_NoteCode(rc);
  return rc == 0 ? 1 : 0;
}

int Db_CursorsSeeOwnWrites() {
  pvc::Session* session = pvc::Current();
  if (session == nullptr) return pvc::kLostConnection;
  return pvc::ToolsOf(*session).CursorsSeeOwnWrites(true);
}

int Db_RollbackAll() {
  pvc::Session* session = pvc::Current();
  if (session == nullptr) return pvc::kLostConnection;
  return pvc::ToolsOf(*session).RollbackAll();
}
