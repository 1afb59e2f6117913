// The SQLite backend as the registry (client/client.cpp) names it: NET8 sqlite:DIR.
#pragma once

#include <memory>
#include <string>

#include "client/core/session.h"

namespace pvc {

// Embedded SQLite, NET8 sqlite:DIR. Same contracts as LogonFn and CreateSchemaFn
// (client/client.h).
int SqliteLogon(const std::string& user, const std::string& password, const std::string& net,
                std::unique_ptr<Session>& out);
int SqliteCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                       const std::string& schema, std::string& why);
// How long sessions opened afterwards wait for another program's lock (the job: 30,000 ms).
void SqliteSetBusyWaitMs(int ms);

}  // namespace pvc
