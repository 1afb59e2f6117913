// The backends built into this program, one folder each. Only client.cpp's registry names them;
// everything else reaches a backend through the NET8 value (client/client.h).
#pragma once

#include "client/sqlite/backend.h"
#ifdef PARVEK_WITH_POSTGRES
#include "client/postgres/backend.h"
#endif
#ifdef PARVEK_WITH_ODBC
#include "client/odbc/backend.h"
#endif
