// Session module: the job's one database session.
#pragma once

#include <vector>

#include "client/client.h"

// Logs on with user name, password and net service name (the NET8 value chooses the
// engine), then makes `schema` the session's current schema with the dynamic statement
// "ALTER SESSION SET CURRENT_SCHEMA=" followed by the schema name.
// Returns 0 when logged on and switched; the logon's code when the logon failed (the
// schema statement is then not run); otherwise the schema statement's code.
// No input is refused or cut for its length.
int Db_Connect(const char* user, const char* password, const char* net, const char* schema);
// The same with `decorators` put around the session at the logon (client/client.h, Logon).
int Db_Connect(const char* user, const char* password, const char* net, const char* schema,
               const std::vector<pvc::SessionDecorator>& decorators);

// For a preview, which holds the whole night in one transaction (pvc::WithoutCommits among the
// decorators) and undoes it at the end:
// Lets every cursor opened from now on see the session's own uncommitted writes, as a real
// night's cursors see them once they are committed. 0; the backend's code (-600) when it cannot,
// and then a preview would show another night than the real one.
int Db_CursorsSeeOwnWrites();
// Undoes everything the session has not committed. 0, or the backend's code.
int Db_RollbackAll();

// Commits the session's transaction. Returns 1 when the commit's code is 0, else 0.
int Db_Commit();
