// The values a night is about: the accounting day's texts and arithmetic, NET8 told apart into
// its engine and place, and the settings read once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "run/ground/AccountingDay.h"
#include "run/ground/DatabaseAddress.h"
#include "run/ground/DatabaseIdentity.h"
#include "run/ground/Settings.h"
#include "tools/settings_record.h"

namespace {

TEST(AccountingDay, TextsOfBothFormsAndNothingForAnythingElse) {
  const struct {
    const char* text;
    bool dashed;
    const char* compact;  // nullptr: refused
  } cases[] = {
      {"2026-12-09", true, "20261209"}, {"20261209", false, "20261209"},
      {"2024-02-29", true, "20240229"}, {"2026-02-29", true, nullptr},  // no leap year
      {"2026-02-30", true, nullptr},    {"2026-13-01", true, nullptr},
      {"2026-00-10", true, nullptr},    {"0999-12-31", true, nullptr},
      {"2026-1-09", true, nullptr},     {"2026-12-09x", true, nullptr},
      {"2026/12/09", true, nullptr},    {"20261209", true, nullptr},  // wrong form for the call
      {"2026-12-09", false, nullptr},   {"2026120", false, nullptr},
      {"2026 209", false, nullptr},     {"", false, nullptr},
      {"+0261209", false, nullptr},
  };
  for (const auto& c : cases) {
    const auto day =
        c.dashed ? AccountingDay::FromDashed(c.text) : AccountingDay::FromCompact(c.text);
    ASSERT_EQ(day.has_value(), c.compact != nullptr) << c.text;
    if (day) {
      EXPECT_EQ(day->Compact(), c.compact) << c.text;
    }
  }
}

TEST(AccountingDay, ArithmeticCrossesMonthsYearsAndLeapDays) {
  const auto day = [](const char* t) { return *AccountingDay::FromDashed(t); };
  EXPECT_EQ((day("2027-01-01") - 1).Dashed(), "2026-12-31");
  EXPECT_EQ((day("2024-03-01") - 1).Dashed(), "2024-02-29");
  EXPECT_EQ((day("2100-03-01") - 1).Dashed(), "2100-02-28");  // no leap day in 2100
  EXPECT_EQ((day("2000-02-28") + 1).Dashed(), "2000-02-29");  // but in 2000
  EXPECT_EQ(day("2026-12-10") - day("2025-12-10"), 365);
  EXPECT_EQ(day("1970-01-01").Number(), 0);
  EXPECT_EQ(day("2026-12-09").Dotted(), "09.12.2026");
  EXPECT_LT(day("2026-11-30"), day("2026-12-01"));
  EXPECT_EQ(AccountingDay::FromNumber(day("2026-12-09").Number()), day("2026-12-09"));
}

TEST(DatabaseAddress, EveryFormOfNet8) {
  const struct {
    const char* net8;
    DbEngine engine;
    const char* place;
    const char* sqlite_dir;  // relative ones against /work/dir
  } cases[] = {
      {"sqlite:/srv/db", DbEngine::kSqlite, "/srv/db", "/srv/db"},
      {"sqlite:/srv/db/", DbEngine::kSqlite, "/srv/db/", "/srv/db"},
      {"sqlite:.", DbEngine::kSqlite, ".", "/work/dir"},
      {"sqlite:data/../db", DbEngine::kSqlite, "data/../db", "/work/dir/db"},
      {"sqlite:", DbEngine::kSqlite, "", ""},
      {"SQLITE:/srv/db", DbEngine::kServiceName, "SQLITE:/srv/db", ""},  // prefixes are exact
      {"postgresql://h:5432/db", DbEngine::kPostgres, "postgresql://h:5432/db", ""},
      {"postgres://h/db?sslmode=require", DbEngine::kPostgres, "postgres://h/db?sslmode=require",
       ""},
      {"postgresql:/h/db", DbEngine::kServiceName, "postgresql:/h/db", ""},
      {"odbc:PROD", DbEngine::kOdbc, "PROD", ""},
      {"odbc:DRIVER={X};SERVER=h", DbEngine::kOdbc, "DRIVER={X};SERVER=h", ""},
      {"PROD", DbEngine::kServiceName, "PROD", ""},
      {"", DbEngine::kServiceName, "", ""},
  };
  for (const auto& c : cases) {
    const DatabaseAddress a = DatabaseAddress_Parse(c.net8, "/work/dir");
    EXPECT_EQ(a.engine, c.engine) << c.net8;
    EXPECT_EQ(a.place, c.place) << c.net8;
    EXPECT_EQ(a.sqlite_dir, c.sqlite_dir) << c.net8;
    EXPECT_EQ(a.net8, c.net8);
  }
}

// What may be printed of an address never carries its secrets, whatever the engine's form.
TEST(DatabaseAddress, PrintableKeepsThePlaceAndMasksTheSecrets) {
  const struct {
    const char* net8;
    const char* shown;
  } cases[] = {
      {"sqlite:/srv/db", "sqlite:/srv/db"},
      {"postgresql://scott:tiger@h:5432/db", "postgresql://********@h:5432/db"},
      {"postgres://h/db?password=tiger&sslmode=require",
       "postgres://h/db?password=********&sslmode=require"},
      {"odbc:DRIVER={X};PWD={ti;ger};SERVER=h", "odbc:DRIVER={X};PWD=********;SERVER=h"},
      {"odbc:DRIVER={X};UID=a; PWD = tiger ;", "odbc:DRIVER={X};UID=a; PWD = ******** ;"},
      {"odbc:DSN=P;pqopt={sslmode=require password='tiger x'}",
       "odbc:DSN=P;pqopt={sslmode=require password=********}"},
      {"host=h password = tiger", "host=h password = ********"},
      {"PROD", "PROD"},
  };
  for (const auto& c : cases) {
    const DatabaseAddress a = DatabaseAddress_Parse(c.net8, "/work/dir");
    EXPECT_EQ(a.Printable(), c.shown) << c.net8;
    EXPECT_EQ(a.Printable().find("tiger"), std::string::npos) << c.net8;
  }
}

TEST(Settings, ReadOnceAsTheJobReadsThem) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("parvek-settings-" + std::to_string(::getpid()));
  std::ofstream(file) << JobSettings("scott", "tiger", "sqlite:/srv/db", "personal");
  const Settings s = Settings_Read(file.string());
  std::filesystem::remove(file);
  EXPECT_EQ(s.login, "scott");
  EXPECT_EQ(s.pass, "tiger");
  EXPECT_EQ(s.net8, "sqlite:/srv/db");
  EXPECT_EQ(s.SchemaName(), "PERSONAL");
  const Settings missing = Settings_Read(file.string());
  EXPECT_TRUE(missing.login.empty() && missing.pass.empty() && missing.net8.empty());
  EXPECT_EQ(missing.SchemaName(), "");
}

TEST(DatabaseIdentity, OneSqliteFileByEveryPathIsOneDatabase) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() / ("parvek-identity-" + std::to_string(::getpid()));
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "PERSONAL.db") << "x";
  std::ofstream(dir / "OTHER.db") << "x";
  fs::create_symlink(dir / "PERSONAL.db", dir / "sub" / "link.db");
  const auto id = [](const fs::path& p) {
    return DatabaseIdentity_From("file:" + p.string(), "X");
  };
  const DatabaseIdentity a = id(dir / "PERSONAL.db");
  EXPECT_TRUE(a.Known());
  EXPECT_EQ(a, id(dir / "sub" / ".." / "PERSONAL.db"));
  EXPECT_EQ(a, id(dir / "sub" / "link.db"));
  EXPECT_FALSE(a == id(dir / "OTHER.db"));
  EXPECT_FALSE(id(dir / "MISSING.db").Known());
  EXPECT_FALSE(id(dir / "sub").Known());  // a directory is no database file
  fs::remove_all(dir);
}

TEST(DatabaseIdentity, ServersBySystemDatabaseAndSchema) {
  const DatabaseIdentity pg = DatabaseIdentity_From("postgresql:7717:parvek", "PERSONAL");
  EXPECT_EQ(pg, DatabaseIdentity_From("postgresql:7717:parvek", "personal"));
  EXPECT_FALSE(pg == DatabaseIdentity_From("postgresql:7717:parvek", "OTHER"));
  EXPECT_FALSE(pg == DatabaseIdentity_From("postgresql:9999:parvek", "PERSONAL"));
  EXPECT_FALSE(pg == DatabaseIdentity_From("postgresql:7717:other", "PERSONAL"));
  EXPECT_EQ(DatabaseIdentity_From("oracle:PROD", "HR"), DatabaseIdentity_From("oracle:prod", "hr"));
  for (const char* unknown : {"", "postgresql:", "postgresql:7717", "oracle:", "mystery:x"})
    EXPECT_FALSE(DatabaseIdentity_From(unknown, "X").Known()) << unknown;
  // Two identities that could not be told are never the same database.
  EXPECT_FALSE(DatabaseIdentity_From("", "X") == DatabaseIdentity_From("", "X"));
}

}  // namespace
