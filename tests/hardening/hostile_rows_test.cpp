// Odd rows made by other programs, through the real program: NULL in every nullable column,
// over-long texts, malformed stored dates, unknown message types, follow-up chains that point
// at themselves or at each other. The job exits with 0, logs what failed, changes only what
// its rules change, and leaves a sound database file.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "tests/e2e/e2e_runner.h"
#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"

namespace {

using e2e::Bch;
using e2e::Day;
using e2e::Fcd;
using e2e::Placeholder;
using e2e::Ztg;
using hard::Night;

struct RowsCase {
  std::string name;
  std::string rows;  // fixture SQL (tokens of e2e::Tok allowed)
  std::string raw;   // SQL run on the SQLite file with CHECK constraints off (SQLite only)
  std::vector<std::pair<std::string, std::vector<std::string>>> after;  // SELECT, rows
  std::vector<std::string> log_has;  // run-log lines (tokens allowed) that must be there
  bool reruns_unchanged = true;      // a second run the same night changes no row
  std::optional<std::vector<std::string>> tgb =
      std::nullopt;  // the parameter lines, sorted (tokens allowed)
};

// Every booking on the accounting day, all persons.
std::string AllBookings(const std::string& and_where = "1 = 1") {
  return "select BchPnr, BchFkt, BchFcd from Krv321Bch where BchVon = '{D0} 00:00:00' and " +
         and_where + " order by BchPnr, BchFkt, BchFcd";
}
const std::string kAllBookings = AllBookings();
const std::string kAllRows =
    "select BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchBis from Krv321Bch order by 1, 2, 3, 4";

std::string NullDayRows(const std::string& pnr, const std::string& code) {
  // Day record, day-evaluation row and booking with only their key columns and the codes the
  // search needs; every other column NULL.
  return "insert into Krv327Tag (TagPnr, TagTag, TagTgb) values ('" + pnr +
         "', '{D1} 00:00:00', '" + code +
         "');\n"
         "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('" +
         pnr +
         "', '{D1} 00:00:00', 1);\n"
         "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values ('" +
         pnr + "', '{D1} 00:00:00', '{D1} 00:00:00', 1, '" + code +
         "');\n"
         "insert into Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd) values ('" +
         pnr +
         "', '{D0} 00:00:00', '{D0} 00:00:00', '{D0} 12:00:00', '{D0} 00:00:00', '{D0} "
         "12:00:00');\n"
         "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('" +
         pnr +
         "', '{D0} 00:00:00', 1);\n"
         "insert into Krv329Ztg (ZtgPnr) values ('" +
         pnr +
         "');\n"
         "insert into Krv140Azv (AzvNum) values (NULL);\n";
}

std::vector<RowsCase> Cases() {
  const std::string base = hard::IllTypes() + hard::IllPerson("P1");
  std::vector<RowsCase> c;

  // PN: its type has a NULL status, so it counts as not found and is passed over. PQ: a type
  // with status 0 and NULL elsewhere; its follow-up type is NULL in every column but its code.
  c.push_back(
      {"nulls_in_every_nullable_column",
       base +
           "insert into Krv131Fcd (FcdNum, FcdFlg) values ('KRN', 'KNF');\n"
           "insert into Krv131Fcd (FcdNum) values ('KNF');\n"
           "insert into Krv131Fcd (FcdNum, FcdFlg, FcdSta) values ('KRM', 'KMF', 0);\n"
           "insert into Krv131Fcd (FcdNum) values ('KMF');\n" +
           NullDayRows("PN", "KRN") + NullDayRows("PQ", "KRM"),
       "",
       {{kAllBookings, {"P1|1|KRF", "PQ|0|KMF"}},
        {"select TagPnr, TagTgb, TagTgs, TagHtv, TagHvs, TagHtn, TagHns from Krv327Tag where "
         "TagPnr in "
         "('PN', 'PQ') and TagTag = '{D0} 00:00:00' order by TagPnr",
         {"PN|<null>|<null>|<null>|<null>|<null>|<null>", "PQ|<null>|0|<null>|0|<null>|0"}}},
       {"Info: Buchung eingepflegt! RC:0 Pnr:PQ Tag:{Y0} Fkt:0 Fcd:KMF",
        "Fehler(Azv_Read): Arbeitszeitvorgaben lesen RC:1403 Pnr:PQ Tag:{Y0}"}});

  // Over-long keys are never cut into another key: the row is passed over with an entry.
  c.push_back({"over_long_keys",
               base + Fcd("KRL", 1, 1, 0, 0, "20", "0", "NULL", "'KRFXYZ'") + Day("PL", 1, "KRL") +
                   Bch("PL", 1, "000000", 1, "KRL") + Placeholder("PL") + Ztg("PL", "VZ40") +
                   hard::IllPerson("PLONGNUMBER0123456789") +
                   // A booking code longer than the record holds, beginning with a real one.
                   Day("PC", 1, "KRA") + Bch("PC", 1, "000000", 1, "KRAXXXXXXXXXXXXXXXXXXXXXXXXX") +
                   Placeholder("PC") + Ztg("PC", "VZ40") +
                   // VICTIM01X's placeholder beside the real working day of VICTIM01, who was ill
                   // the day before and has a training booked that an illness would cancel.
                   Fcd("SCH", 1, 1, 0, 0, "30", "0", "NULL", "NULL") +
                   hard::IllPerson("VICTIM01X") + Day("VICTIM01", 1, "KRA") +
                   Bch("VICTIM01", 1, "000000", 1, "KRA") + Day("VICTIM01", 0, "") +
                   Bch("VICTIM01", 0, "000000", 1, "SCH") + Ztg("VICTIM01", "VZ40"),
               "",
               {{kAllBookings, {"P1|1|KRF", "VICTIM01|1|SCH"}},
                {"select TagTgb, TagTgs from Krv327Tag where TagPnr = 'VICTIM01' and TagTag = "
                 "'{D0} 00:00:00'",
                 {"<null>|<null>"}}},
               {"Fehler(Cur_Read): Tagsatz(+TgbSol) Schlüssel zu lang, übergangen! RC:-1406 "
                "Pnr:VICTIM01X Tag:{Y0}",
                "Fehler(Cur_Read): Tagsatz(+TgbSol) Schlüssel zu lang, übergangen! RC:-1406 "
                "Pnr:PLONGNUMBER0123456789 Tag:{Y0}",
                "Fehler(Cur_Read): Buchungen(TagesMld Vortag) Schlüssel zu lang, übergangen! "
                "RC:-1406 Pnr:PC Tag:{Y1}",
                "Fehler(Read): Meldungsart(Fcd) zum Vortag lesen RC:-1406 Pnr:PL Tag:{Y1}"},
               true,
               std::vector<std::string>{"P1      ,{P}"}});

  // Person numbers that would forge parameter lines or terminal output: their days are done,
  // but no parameter line is written for them, and the run log shows control bytes as '?'.
  c.push_back({"person_numbers_that_forge_lines",
               base + hard::IllPerson("1\n1002") + hard::IllPerson("7,1003") +
                   hard::IllPerson("E\x1b[2J\r"),
               "",
               {{"select count(*) from Krv321Bch where BchVon = '{D0} 00:00:00' and BchFkt = 1 and "
                 "BchFcd = 'KRF'",
                 {"4"}}},
               {"Fehler(Parametersatz): Personalnummer unzulässig, kein Parametersatz! RC:0 "
                "Pnr:1?1002 Tag:{Y0}",
                "Fehler(Parametersatz): Personalnummer unzulässig, kein Parametersatz! RC:0 "
                "Pnr:7,1003 Tag:{Y0}",
                "Fehler(Parametersatz): Personalnummer unzulässig, kein Parametersatz! RC:0 "
                "Pnr:E?[2J? Tag:{Y0}",
                "Info: Buchung eingepflegt! RC:0 Pnr:E?[2J? Tag:{Y0} Fkt:1 Fcd:KRF"},
               true,
               std::vector<std::string>{"P1      ,{P}"}});

  c.push_back(
      {"malformed_stored_dates",
       base + hard::IllPerson("PB") + hard::IllPerson("PV"),
       // PB: its reference day's booking has a date that is no date. PV: its earlier
       // day record has a time frame that is no date.
       "update Krv321Bch set BchBis = 'gestern', BchVws = '2024-13-45 99:99:99' where BchPnr = "
       "'PB';"
       "update Krv327Tag set TagVon = 'kein Datum' where TagPnr = 'PV' and TagTag < '{D0}';",
       {{kAllBookings, {"P1|1|KRF"}}},
       {"Fehler(Cur_Read): Buchungen(TagesMld Vortag) lesen RC:-1861 Pnr:PB Tag:{Y1}"}});

  c.push_back({"text_in_an_integer_column_ends_the_scan",
               hard::IllTypes() + hard::IllPerson("PT"),
               "update Krv320Tgb set TgbSol = 'viel' where TgbPnr = 'PT';",
               {{kAllBookings, {}}},
               {"Fehler(Cur_Read): Tagsatz(+TgbSol) lesen! RC:-1722"}});

  c.push_back({"unknown_message_type_codes",
               base +
                   // PU: the reference day's code names no message type: the search stops.
                   Day("PU", 1, "ZZZ") + Bch("PU", 1, "000000", 1, "ZZZ") + Placeholder("PU") +
                   // PH: an hour message of an unknown type is the newest of its frame.
                   Day("PH", 1, "") + Bch("PH", 1, "100000", 23, "QQQ") + Placeholder("PH") +
                   // PF: a known type whose follow-up code names no type: booked with
                   // function 0, as the rules say for an unreadable follow-up type.
                   Fcd("KRX", 1, 1, 0, 0, "20", "0", "NULL", "'NOP'") + Day("PF", 1, "KRX") +
                   Bch("PF", 1, "000000", 1, "KRX") + Placeholder("PF") + Ztg("PF", "VZ40"),
               "",
               {{kAllBookings, {"P1|1|KRF", "PF|0|NOP"}}},
               {"Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen RC:1403 Pnr:PF Fcd:NOP"}});

  c.push_back(
      {"follow_up_chains_to_itself_and_to_each_other",
       base + Fcd("SLF", 1, 1, 0, 0, "20", "0", "NULL", "'SLF'") +
           Fcd("MAA", 1, 1, 0, 0, "20", "0", "NULL", "'MBB'") +
           Fcd("MBB", 1, 1, 0, 0, "20", "0", "NULL", "'MAA'") + Day("PS", 1, "SLF") +
           Bch("PS", 1, "000000", 1, "SLF") + Placeholder("PS") + Ztg("PS", "VZ40") +
           // PM: MAA two days back, MBB the day before: the newest day counts.
           Day("PM", 2, "MAA") + Bch("PM", 2, "000000", 1, "MAA") + Day("PM", 1, "MBB") +
           Bch("PM", 1, "000000", 1, "MBB") + Placeholder("PM") + Ztg("PM", "VZ40") +
           // PX: both on the same day.
           Day("PX", 1, "MAA") + Bch("PX", 1, "000000", 1, "MAA") +
           Bch("PX", 1, "000000", 2, "MBB") + Placeholder("PX") + Ztg("PX", "VZ40"),
       "",
       // PX: the second follow-up meets the first one, of equal priority, and is blocked;
       // which one comes first is not fixed.
       {{AllBookings("BchPnr <> 'PX'"), {"P1|1|KRF", "PM|1|MAA", "PS|1|SLF"}},
        {"select count(*) from Krv321Bch where BchPnr = 'PX' and BchVon = '{D0} 00:00:00'", {"1"}}},
       {"Info: Buchung eingepflegt! RC:0 Pnr:PS Tag:{Y0} Fkt:1 Fcd:SLF"},
       true});
  return c;
}

void PrintTo(const RowsCase& c, std::ostream* os) { *os << c.name; }

class HostileRows : public ::testing::TestWithParam<std::tuple<std::string, RowsCase>> {};

TEST_P(HostileRows, Run) {
  const auto& [backend_name, c] = GetParam();
  const pvt::Backend b = pvt::BackendNamed(backend_name);
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  if (!c.raw.empty() && b.name != "sqlite")
    GTEST_SKIP() << "rows against the schema's checks: SQLite only";
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(b, c.rows, why), 0) << why;
  if (!c.raw.empty()) {
    ASSERT_EQ(hard::RawSqlite(night.file(), e2e::Tok(c.raw), why), 0) << why;
  }

  // With debug output on: the record dumps see the odd rows as well.
  const hard::Result r = night.RunJob(PARVEK_BIN, {{"PARVEK_DBG", ""}});
  ASSERT_EQ(r.exited, 1) << "signal " << r.signal;
  if (c.name.find("ends_the_scan") == std::string::npos) {
    EXPECT_NE(r.out.find("Lesen TagSatz!"), std::string::npos);
  }
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  const std::string log = night.Log();
  for (const auto& line : c.log_has)
    EXPECT_EQ(hard::CountLines(log, e2e::Tok(line)), 1) << e2e::Tok(line) << "\n" << log;
  for (const auto& [select, rows] : c.after) {
    std::vector<std::string> expected;
    for (const auto& row : rows) expected.push_back(e2e::Tok(row));
    EXPECT_EQ(night.db().Lines(e2e::Tok(select)), expected) << select;
  }
  if (c.tgb) {
    std::vector<std::string> lines = hard::Lines(hard::ReadFile(night.work() / "parvektgb")),
                             expected;
    std::sort(lines.begin(), lines.end());
    for (const auto& line : *c.tgb) expected.push_back(e2e::Tok(line));
    EXPECT_EQ(lines, expected);
  }
  if (b.name == "sqlite") {
    EXPECT_EQ(hard::IntegrityCheck(night.file()), "ok");
  }

  if (c.reruns_unchanged) {
    const auto before = night.db().Lines(kAllRows);
    night.db().CloseSide();
    const hard::Result again = night.RunJob(PARVEK_BIN);
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(night.db().Lines(kAllRows), before) << "a second run the same night";
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileRows,
                         ::testing::Combine(::testing::ValuesIn(pvt::BackendNames()),
                                            ::testing::ValuesIn(Cases())),
                         [](const auto& p) {
                           return std::get<0>(p.param) + "_" + std::get<1>(p.param).name;
                         });

}  // namespace
