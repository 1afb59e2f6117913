// The client layer: backend choice by NET8, date inputs, logon and schema switch codes.
#include "client/client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "client/codes.h"
#include "tests/support/testdb.h"

namespace {

TEST(ToDbDate, AcceptsAndRejectsLikeToDate) {
  struct Case {
    const char* in;
    bool with_time;
    int code;
    const char* out;
  } cases[] = {
      {"20240301", false, 0, "2024-03-01 00:00:00"},
      {"20240229", false, 0, "2024-02-29 00:00:00"},  // leap year
      {"20000229", false, 0, "2000-02-29 00:00:00"},  // divisible by 400
      {"19000229", false, pvc::kBadDay, ""},          // divisible by 100 only
      {"20230229", false, pvc::kBadDay, ""},
      {"20240431", false, pvc::kBadDay, ""},
      {"20240100", false, pvc::kBadDay, ""},
      {"20241301", false, pvc::kBadMonth, ""},
      {"20240001", false, pvc::kBadMonth, ""},
      {"2024031", false, pvc::kBadDateFormat, ""},
      {"202403011", false, pvc::kBadDateFormat, ""},
      {"2024-3-1", false, pvc::kBadDateFormat, ""},
      {"2024O301", false, pvc::kBadDateFormat, ""},
      {" 2024030", false, pvc::kBadDateFormat, ""},
      {"20240301235959", true, 0, "2024-03-01 23:59:59"},
      {"20240301000000", true, 0, "2024-03-01 00:00:00"},
      {"20240301240000", true, pvc::kBadDateFormat, ""},
      {"20240301126000", true, pvc::kBadDateFormat, ""},
      {"20240301120060", true, pvc::kBadDateFormat, ""},
      {"20240301", true, pvc::kBadDateFormat, ""},         // time missing
      {"20240301120000", false, pvc::kBadDateFormat, ""},  // time where none belongs
      {"20240230120000", true, pvc::kBadDay, ""},
  };
  for (const auto& c : cases) {
    std::string out = "unchanged";
    EXPECT_EQ(pvc::ToDbDate(c.in, c.with_time, out), c.code) << c.in;
    if (c.code == 0) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
}

TEST(Registry, UnservedNetNameFailsWith12154) {
  for (const char* net : {"ORCL", "", "sqlite", "SQLITE:/tmp", "mysql://x", "postgresqlx://h"}) {
#ifdef PARVEK_WITH_POSTGRES
    if (std::string(net).rfind("postgres", 0) == 0) continue;
#endif
    EXPECT_EQ(pvc::Logon("u", "p", net), pvc::kBadNetName) << net;
  }
}

TEST(Registry, RegisteredBackendIsChosenByLongestPrefixAndCounted) {
  std::string seen;
  pvc::RegisterBackend("fake:", [&](const std::string&, const std::string&, const std::string& net,
                                    std::unique_ptr<pvc::Session>&) {
    seen = "short " + net;
    return -1017;
  });
  pvc::RegisterBackend("fake:long:", [&](const std::string&, const std::string&,
                                         const std::string& net, std::unique_ptr<pvc::Session>&) {
    seen = "long " + net;
    return -12541;
  });
  EXPECT_EQ(pvc::Logon("u", "p", "fake:x"), -1017);
  EXPECT_EQ(seen, "short fake:x");
  EXPECT_EQ(pvc::Logon("u", "p", "fake:long:y"), -12541);
  EXPECT_EQ(seen, "long fake:long:y");
  // A failed logon is one call, and leaves no session current, not even an earlier one.
  EXPECT_EQ(pvc::GetCounters().statements, 1u);
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(db.Connect(), 0);
  ASSERT_NE(pvc::Current(), nullptr);
  EXPECT_EQ(pvc::Logon("u", "p", "fake:x"), -1017);
  EXPECT_EQ(pvc::Current(), nullptr);
}

TEST(SqliteLogon, DirectoryAndSchemaFileDecideTheCodes) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  EXPECT_EQ(pvc::Logon("", "", "sqlite:" + db.dir() + "/missing"), pvc::kBadNetName);
  EXPECT_EQ(pvc::Logon("", "", "sqlite:"), pvc::kBadNetName);
  std::ofstream(db.dir() + "/plainfile") << "x";
  EXPECT_EQ(pvc::Logon("", "", "sqlite:" + db.dir() + "/plainfile"), pvc::kBadNetName);

  ASSERT_EQ(pvc::Logon("any", "thing", db.net()), 0);
  pvc::Session* s = pvc::Current();
  ASSERT_NE(s, nullptr);
  struct Case {
    std::string text;
    int code;
  } cases[] = {
      {"ALTER SESSION SET CURRENT_SCHEMA=NOSUCH", pvc::kNoSchema},
      {"ALTER SESSION SET CURRENT_SCHEMA=", pvc::kBadSchemaName},
      {"ALTER SESSION SET CURRENT_SCHEMA=../TESTS", pvc::kBadSchemaName},
      {"ALTER SESSION SET CURRENT_SCHEMA=TESTS/x", pvc::kBadSchemaName},
      {"ALTER SESSION SET CURRENT_SCHEMA=1TESTS", pvc::kBadSchemaName},
      {"ALTER SESSION SET CURRENT_SCHEMA=" + std::string(129, 'A'), pvc::kBadSchemaName},
      {"DROP TABLE Krv321Bch", pvc::kInvalidSql},
      {"ALTER SESSION SET CURRENT_SCHEMA=TESTS", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(s->ExecDynamic(c.text), c.code) << c.text;
  // A name of 128 characters is an identifier: only the missing file refuses it.
  EXPECT_EQ(s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + std::string(128, 'A')),
            pvc::kNoSchema);
  // The switch never creates a file.
  EXPECT_FALSE(std::filesystem::exists(db.dir() + "/NOSUCH.db"));
}

TEST(SqliteLogon, StatementsBeforeTheSchemaSwitchFail) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(pvc::Logon("", "", db.net()), 0);
  pvc::Row row;
  EXPECT_LT(pvc::Current()->SelectOne(pvc::Op::FcdRead, {pvc::Bind::Txt("K")}, row), 0);
  EXPECT_EQ(pvc::Current()->Commit(), 0);
}

TEST(SqliteSchema, CreateRefusesToOverwrite) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(db.Exec("insert into Krv131Fcd (FcdNum, FcdSta) values ('K', 1)"), 0);
  EXPECT_EQ(pvc::CreateSchema("", "", db.net(), db.schema(), why), pvc::kSchemaExists);
  EXPECT_NE(why.find("exists"), std::string::npos) << why;
  EXPECT_EQ(db.Value("select count(*) from Krv131Fcd"), "1");  // still the old file
  EXPECT_EQ(pvc::CreateSchema("", "", db.net(), "bad/name", why), pvc::kBadSchemaName);
  EXPECT_EQ(pvc::CreateSchema("", "", "sqlite:" + db.dir() + "/no", "X", why), pvc::kBadNetName);
}

TEST(SqliteSchema, DateColumnsTakeOnlyTheOneTextForm) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  struct Case {
    const char* value;
    int code;
  } cases[] = {
      {"'2024-03-01 00:00:00'", 0},
      {"'2024-02-29 23:59:59'", 0},
      {"NULL", 0},
      {"'2024-03-01'", pvc::kCheckViolated},
      {"'20240301'", pvc::kCheckViolated},
      {"'2023-02-29 00:00:00'", pvc::kCheckViolated},
      {"'2024-03-01 24:00:00'", pvc::kCheckViolated},
      {"'2024-03-01T10:00:00'", pvc::kCheckViolated},
      {"20240301", pvc::kCheckViolated},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(db.Exec(std::string("insert into Krv329Ztg (ZtgPnr, ZtgVon) values ('P', ") +
                      c.value + ")"),
              c.code)
        << c.value << " " << db.last_error();
  }
  EXPECT_EQ(db.Value("select count(*) from Krv329Ztg"), "3");
}

}  // namespace
