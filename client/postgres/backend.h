// The PostgreSQL backend as the registry (client/client.cpp) names it: NET8 postgresql://...
// or postgres://....
#pragma once

#include <memory>
#include <string>

#include "client/core/session.h"

namespace pvc {

// PostgreSQL through libpq. Same contracts as LogonFn and CreateSchemaFn (client/client.h).
int PgLogon(const std::string& user, const std::string& password, const std::string& net,
            std::unique_ptr<Session>& out);
int PgCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                   const std::string& schema, std::string& why);
// How long connections opened afterwards wait for another program's lock (the job: 30,000 ms).
void PgSetLockWaitMs(int ms);

}  // namespace pvc
