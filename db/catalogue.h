// The statement catalogue of the job (see catalogue.cpp).
#pragma once

#include "client/client.h"

struct StmtInfo {
  pvc::Op op;
  const char* name;           // operation name(s)
  const char* text;           // text of record
  const char* savepoint;      // writes: savepoint name, else nullptr
  const char* savepoint_stmt; // writes: "savepoint NAME"
  const char* rollback_stmt;  // writes: "rollback  to NAME"
};

// The entry of `op`; entries are in Op order.
const StmtInfo& Stmt_Info(pvc::Op op);
