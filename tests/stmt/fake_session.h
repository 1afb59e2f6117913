// A scripted in-memory backend for testing the statement and session modules without a
// database: it records every call and answers with results the test queues per Op.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"

struct FakeScript {
  std::vector<std::string> calls;                // "savepoint X", "write Op", "commit", ...
  std::map<pvc::Op, std::deque<int>> codes;      // results to return per Op (default 0)
  std::map<pvc::Op, std::deque<pvc::Row>> rows;  // rows a cursor or select delivers
  std::vector<std::vector<pvc::Bind>> binds;     // inputs of every statement call, in order
  int logon_code = 0;
  int dynamic_code = 0;
  std::deque<int> commit_codes;  // results of Commit (default 0)
};

// The script shared by the fake sessions; tests reset it before each case.
FakeScript& Fake();
// Registers the fake backend for NET8 values beginning "fake:" and logs on to it.
int FakeLogon();

pvc::Cell TextCell(const std::string& s);
pvc::Cell IntCell(int64_t v);
pvc::Cell NullCell();
