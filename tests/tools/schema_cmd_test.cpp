// parvekctl schema-create and schema-check, run as operators run them.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/testdb.h"

namespace {

// Runs parvekctl with `args` (split at blanks); returns its exit code, standard output and
// error in `out`.
int Ctl(const std::string& args, std::string& out) {
  const pvt::TempDir dir;
  const pvt::Result r = pvt::Run(PARVEKCTL_BIN, dir.path(), pvt::Words(args));
  out = r.out + r.err;
  return r.code;
}

TEST(SchemaCommands, CreateOnceCheckAndRefuseToOverwrite) {
  pvt::TempSchema scratch;  // only for its fresh directory
  std::string why;
  ASSERT_EQ(scratch.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  const std::string net = "sqlite:" + scratch.dir();
  std::string out;
  ASSERT_EQ(Ctl("schema-create " + net + " DEMO", out), 0) << out;
  EXPECT_EQ(Ctl("schema-check " + net + " DEMO", out), 0) << out;
  EXPECT_NE(out.find("BchStdMld"), std::string::npos) << out;
  EXPECT_NE(out.find("all statements run"), std::string::npos) << out;
  EXPECT_EQ(Ctl("schema-create " + net + " DEMO", out), 2);
  EXPECT_NE(out.find("-1920"), std::string::npos) << out;
  EXPECT_EQ(Ctl("schema-create " + net + "/none DEMO", out), 2);
  EXPECT_NE(out.find("-12154"), std::string::npos) << out;
  EXPECT_EQ(Ctl("schema-create " + net, out), 2);  // schema missing
  EXPECT_EQ(Ctl("schema-check " + net + " NOSUCH", out), 2);
  EXPECT_NE(out.find("-1435"), std::string::npos) << out;
}

TEST(SchemaCommands, CheckNamesTheStatementsThatFail) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(db.Exec("DROP TABLE Krv140Azv"), 0);
  std::string out;
  EXPECT_EQ(Ctl("schema-check " + db.net() + " " + db.schema(), out), 1) << out;
  EXPECT_NE(out.find("AzvRead          RC:-942"), std::string::npos) << out;
  EXPECT_NE(out.find("FcdRead          RC:1403"), std::string::npos) << out;
}

// Through ODBC the check says when the driver makes the job's cursors need connections of their
// own (asked for here by the data source), and is silent about the usual one session.
TEST(SchemaCommands, CheckSaysWhenCursorsNeedConnectionsOfTheirOwn) {
  pvt::TempSchema db;
  std::string why;
  const pvt::Backend b = pvt::BackendNamed("odbc_sqlite");
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  ASSERT_EQ(db.Create(b, why), 0) << why;
  const pvt::TempDir dir;
  for (const std::string extra : {"", ";ParvekCursors=connections"}) {
    const pvt::Result r =
        pvt::Run(PARVEKCTL_BIN, dir.path(), {"schema-check", db.net() + extra, db.schema()});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all statements run"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("note: cursors run on 3 connections of their own") != std::string::npos,
              !extra.empty())
        << r.out;
  }
}

}  // namespace
