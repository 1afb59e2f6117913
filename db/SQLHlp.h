// Session module: the job's one database session.
#pragma once

// Logs on with user name, password and net service name (the NET8 value chooses the
// engine), then makes `schema` the session's current schema with the dynamic statement
// "ALTER SESSION SET CURRENT_SCHEMA=" followed by the schema name.
// Returns 0 when logged on and switched; the logon's code when the logon failed (the
// schema statement is then not run); otherwise the schema statement's code.
// No input is refused or cut for its length.
int Db_Connect(const char* user, const char* password, const char* net, const char* schema);

// Commits the session's transaction. Returns 1 when the commit's code is 0, else 0.
int Db_Commit();
