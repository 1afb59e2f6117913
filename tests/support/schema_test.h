// A GoogleTest fixture over the backends: each case gets a fresh schema (`db_`) on the backend
// its parameter names, and is skipped, with the reason, where that backend is not available.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/testdb.h"

namespace pvt {

class SchemaTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const Backend b = BackendNamed(GetParam());
    if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
    std::string why;
    ASSERT_EQ(db_.Create(b, why), 0) << why;
  }

  TempSchema db_;
};

}  // namespace pvt
