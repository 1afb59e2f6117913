// The real program on a PostgreSQL server: a refused password, and a night in which one booking
// breaks the unique key while the next person's follow-up is booked and committed.
// Skipped with a message when PARVEK_TEST_PG names no server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "run/BfCipher.h"
#include "tests/support/testdb.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) out.push_back(line);
  return out;
}

struct JobRun {
  int status = -1;
  std::string log, err, tgb;
  bool tgb_exists = false;
};

// Writes the settings file into a fresh working directory and runs the job there.
JobRun RunJob(const std::string& login, const std::string& pass, const std::string& net,
           const std::string& schema) {
  char templ[] = "/tmp/parvek-pgjob-XXXXXX";
  const fs::path dir = ::mkdtemp(templ);
  std::ofstream(dir / "parvek.ini")
      << ";PARVEK;\n1;LOGIN;" << Ini_Encipher(login) << "\n;PARVEK;\n2;PASS;"
      << Ini_Encipher(pass) << "\n;PARVEK;\n3;NET8;" << Ini_Encipher(net)
      << "\n;PARVEK;\n4;SCHEMA;" << Ini_Encipher(schema + "#") << "\n";
  const std::string cmd = "cd '" + dir.string() + "' && '" PARVEK_BIN
                          "' parvek.ini XXX D >stdout.txt 2>stderr.txt";
  JobRun r;
  r.status = std::system(cmd.c_str());
  r.log = ReadFile(dir / "parvek.log");
  r.err = ReadFile(dir / "stderr.txt");
  r.tgb_exists = fs::exists(dir / "parvektgb");
  if (r.tgb_exists) r.tgb = ReadFile(dir / "parvektgb");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return r;
}

// The log's entries after its time stamp (the first two lines: empty, then "Datum: ...").
std::vector<std::string> Entries(const std::string& log) {
  auto lines = SplitLines(log);
  if (lines.size() >= 2 && lines[0].empty() && lines[1].rfind("Datum: ", 0) == 0)
    lines.erase(lines.begin(), lines.begin() + 2);
  return lines;
}

pvt::Backend Postgres() { return pvt::BackendNamed("postgres"); }

TEST(PgJob, RefusedPasswordLogs1017AndNothingElseHappens) {
  const pvt::Backend b = Postgres();
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(b, why), 0) << why;
  const std::string wrong = b.pass + "-not-it";
  const JobRun r = RunJob(b.login, wrong, b.net, db.schema());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Entries(r.log), (std::vector<std::string>{"Fehler(DB-Connect)! RC:-1017 Name:" +
                                                      b.login + " Pwd:******** Net:" + b.net}));
  EXPECT_FALSE(r.tgb_exists) << "the scan must not start";
  EXPECT_NE(r.err.find("RC:-1017"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(wrong), std::string::npos);
  EXPECT_EQ(r.log.find(wrong), std::string::npos);
}

TEST(PgJob, BrokenUniqueKeyIsLoggedAndTheNextPersonIsBookedAndCommitted) {
  const pvt::Backend b = Postgres();
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(b, why), 0) << why;
  // Days by the server's clock: D0 the accounting day, D1 the day before.
  const std::string d0 = db.Value("select to_char(current_date - 1, 'YYYY-MM-DD')");
  const std::string d1 = db.Value("select to_char(current_date - 2, 'YYYY-MM-DD')");
  const std::string y0 = d0.substr(0, 4) + d0.substr(5, 2) + d0.substr(8, 2);
  auto day = [](const std::string& pnr, const std::string& d, const std::string& from,
                const std::string& to, const std::string& tgb) {
    return "insert into Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TagTgb, TagTgs)"
           " values ('" + pnr + "', '" + d + " 00:00:00', '" + d + " 00:00:00', '" + d + " " +
           from + "', '" + d + " 00:00:00', '" + d + " " + to + "', " + tgb + ", " +
           (tgb == "NULL" ? "NULL" : "480") + ");"
           "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) values ('" + pnr + "', '" + d +
           " 00:00:00', 1, 480);";
  };
  auto booking = [](const std::string& pnr, const std::string& d, const std::string& fcd) {
    return "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf) values ('" +
           pnr + "', '" + d + " 00:00:00', '" + d + " 00:00:00', 1, '" + fcd + "', 'fixture');";
  };
  std::string sql =
      // KRA is followed by KRF; EQL ranks equal with KRF, and KRF passes it over (FcdGpu 2).
      "insert into Krv131Fcd (FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd,"
      " FcdFlg, FcdSta) values ('KRA', 1, 1, 0, 0, 20, 0, NULL, 'KRF', 0),"
      " ('KRF', 1, 1, 0, 0, 20, 2, NULL, NULL, 0), ('EQL', 1, 1, 0, 0, 20, 0, NULL, NULL, 0);"
      "insert into Krv140Azv (AzvNum, AzvSol, AzvSo2, AzvVhs, AzvHso, AzvHs2, AzvHtv, AzvGvo,"
      " AzvGbi, AzvSta) values ('VZ', 480, 480, 480, 240, 240, 0, '2000-01-01 00:00:00', NULL, 0);";
  for (const std::string pnr : {"9101", "9102"}) {
    sql += day(pnr, d1, "07:00:00", "16:00:00", "'KRA'") + booking(pnr, d1, "KRA") +
           day(pnr, d0, "12:00:00", "12:00:00", "NULL") +
           "insert into Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) values ('" + pnr + "', '" + d0 +
           " 00:00:00', 'VZ', 0);";
  }
  // 9101 already has a booking on the accounting day at the key the follow-up would take.
  sql += booking("9101", d0, "EQL");
  ASSERT_EQ(db.Exec(sql), 0) << db.last_error();

  const JobRun r = RunJob(b.login, b.pass, b.net, db.schema());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const auto entries = Entries(r.log);
  auto has = [&](const std::string& line) {
    return std::find(entries.begin(), entries.end(), line) != entries.end();
  };
  EXPECT_TRUE(has("Fehler(Bch_Insert): Buchung einpflegen! RC:-1 Pnr:9101 Tag:" + y0 +
                  " Fkt:1 Fcd:KRF"))
      << r.log;
  EXPECT_TRUE(has("Info: Buchung eingepflegt! RC:0 Pnr:9102 Tag:" + y0 + " Fkt:1 Fcd:KRF"))
      << r.log;
  // Seen from another session: 9102's follow-up is committed, 9101 keeps its one booking.
  EXPECT_EQ(db.Lines("select BchPnr, BchFcd, BchErf from Krv321Bch where BchVon = '" + d0 +
                     " 00:00:00' order by BchPnr, BchFcd"),
            (std::vector<std::string>{"9101|EQL|fixture", "9102|KRF|<null>"}));
  EXPECT_EQ(db.Lines("select TagPnr, TagTgb, TagTgs from Krv327Tag where TagTag = '" + d0 +
                     " 00:00:00' order by TagPnr"),
            (std::vector<std::string>{"9101|KRF|480", "9102|KRF|480"}));
}

}  // namespace
