// Test fixture for the job's logic over the scripted statement module: a fresh fake, a run
// log in a temporary file with logging on, and a check that no cursor is left open.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "run/ground/RunLog.h"
#include "tests/followup/fake_sql.h"

class LogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeReset();
    char tmpl[] = "/tmp/parvek-logic-XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    log_path_ = tmpl;
    RunFlags = RunFlagsRec{};
    RunFlags.verbose = 1;
    ASSERT_EQ(Log_Open(log_path_.c_str()), 1);
  }
  void TearDown() override {
    Log_Close();
    std::remove(log_path_.c_str());
    EXPECT_TRUE(Fake().open_cursors.empty()) << "a cursor was left open";
    RunFlags = RunFlagsRec{};
  }
  // Closes the run log and returns what was written to it.
  std::string RunLog() {
    Log_Close();
    std::ifstream in(log_path_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static int Count(const std::vector<std::string>& calls, const std::string& prefix) {
    int n = 0;
    for (const auto& c : calls) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  static void AddType(const FcdSatz& fcd, int32_t sta = 0) {
    Fake().types[fcd.FcdNum] = {fcd, sta};
  }

  std::string log_path_;
};
