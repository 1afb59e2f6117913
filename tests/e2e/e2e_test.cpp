// The nightly run end to end: the real program on a fresh schema per case, checked by its
// parameter file, its run log, its debug output and the rows it leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_runner.h"
#include "tests/support/engines.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"
#include "tools/journal_format.h"
#include "tools/settings_record.h"

#ifndef PARVEK_BIN
#error "PARVEK_BIN must name the program under test"
#endif

namespace {

namespace fs = std::filesystem;
using e2e::Azv;
using e2e::Bch;
using e2e::BookingsOfDay;
using e2e::Case;
using e2e::Day;
using e2e::DayRecords;
using e2e::Fcd;
using e2e::Placeholder;
using e2e::Ztg;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Message types most cases share: illness and its follow-up, leave without follow-up, and the
// kinds of competing bookings. Priorities: SUR 5, URL 10, KRA/KRF/EQL 20, SCH 30.
std::string CommonTypes() {
  return Fcd("KRA", 1, 1, 0, 0, "20", "0", "NULL", "'KRF'") +
         Fcd("KRF", 1, 1, 0, 0, "20", "0", "NULL", "NULL") +
         Fcd("URL", 1, 1, 0, 0, "10", "0", "NULL", "NULL") +
         Fcd("SCH", 1, 1, 0, 0, "30", "0", "NULL", "NULL") +
         Fcd("SUR", 1, 1, 0, 0, "5", "0", "NULL", "NULL") +
         Fcd("EQL", 1, 1, 0, 0, "20", "0", "NULL", "NULL") + Azv("VZ40", 480, 240, 0, 240, 120, 0);
}

// A person ill the day before the accounting day, with a placeholder and a working-time
// plan for the accounting day.
std::string IllDayBefore(const std::string& pnr, const std::string& code = "KRA") {
  return Day(pnr, 1, code) + Bch(pnr, 1, "000000", 1, code) + Placeholder(pnr) + Ztg(pnr, "VZ40");
}

std::vector<std::string> Generated(const std::string& pnr, int fkt, const std::string& fcd) {
  return {"Info: Buchung eingepflegt! RC:0 Pnr:" + pnr + " Tag:{Y0} Fkt:" + std::to_string(fkt) +
              " Fcd:" + fcd,
          "Info: TagesSatz aktualisiert! RC:0 Pnr:" + pnr + " Tag:{Y0}"};
}

template <typename... V>
std::vector<std::string> Join(const V&... parts) {
  std::vector<std::string> out;
  (out.insert(out.end(), parts.begin(), parts.end()), ...);
  return out;
}

std::string Blocked(const std::string& pnr, const std::string& fcd) {
  return "Info: (Fcd) in BchSatz hat höhere Priorität Pnr:" + pnr + " Tag:{Y0} Fcd:" + fcd;
}

// ---- the cases ---------------------------------------------------------------------------------

std::vector<Case> DayMessageCases() {
  std::vector<Case> cases;
  {
    Case c;
    c.name = "DayMessagePlainLayout";
    c.rows = CommonTypes() + IllDayBefore("4711");
    c.tgb = "4711    ,{P}\n";
    c.log = Generated("4711", 1, "KRF");
    c.after = {{BookingsOfDay(0), {"4711|{D0} 00:00:00|1|KRF|<null>"}},
               {DayRecords(0), {"4711|KRF|480|<null>|0|<null>|0"}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "ConsolidationLayout";
    c.rows = CommonTypes() + IllDayBefore("4711") + IllDayBefore("12345678");
    c.param2 = "KRVNT";
    c.tgb = "{S20},12345678,{P}\n{S20},4711    ,{P}\n";
    c.log = Join(Generated("4711", 1, "KRF"), Generated("12345678", 1, "KRF"));
    c.unordered = true;
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "ConsolidationNeedsExactText";  // a lower-case variant is the plain layout
    c.rows = CommonTypes() + IllDayBefore("4711");
    c.param2 = "krvnt";
    c.tgb = "4711    ,{P}\n";
    c.log = Generated("4711", 1, "KRF");
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "WithoutReferenceDay";
    c.rows = CommonTypes() + Placeholder("4711") + Ztg("4711", "VZ40") +
             // 4712: earlier days without any message, back to a year ago
             Day("4712", 1, "") + Day("4712", 2, "") + Day("4712", 365, "") + Placeholder("4712") +
             // 4713: the illness before is hidden behind leave, which has no follow-up
             Day("4713", 2, "KRA") + Bch("4713", 2, "000000", 1, "KRA") + Day("4713", 1, "URL") +
             Bch("4713", 1, "000000", 1, "URL") + Placeholder("4713");
    c.tgb = "";
    c.log = {};
    c.after = {{DayRecords(0),
                {"4711|<null>|<null>|<null>|<null>|<null>|<null>",
                 "4712|<null>|<null>|<null>|<null>|<null>|<null>",
                 "4713|<null>|<null>|<null>|<null>|<null>|<null>"}},
               {BookingsOfDay(0), {}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "IllnessLongAgoFoundWithoutLimit";
    c.rows = CommonTypes() + Day("4711", 400, "KRA") + Bch("4711", 400, "000000", 1, "KRA") +
             Day("4711", 1, "") + Day("4711", 2, "") + Placeholder("4711") + Ztg("4711", "VZ40");
    c.tgb = "4711    ,{P}\n";
    c.log = Generated("4711", 1, "KRF");
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "UnreadableFollowUpType";
    c.rows = CommonTypes() + Fcd("XRA", 1, 1, 0, 0, "20", "0", "NULL", "'XXF'") +
             IllDayBefore("9001", "XRA");
    c.tgb = "9001    ,{P}\n";
    c.log = Join(
        std::vector<std::string>{
            "Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen RC:1403 Pnr:9001 Fcd:XXF"},
        Generated("9001", 0, "XXF"));
    c.after = {{BookingsOfDay(0), {"9001|{D0} 00:00:00|0|XXF|<null>"}},
               {DayRecords(0), {"9001|<null>|0|<null>|0|<null>|0"}}};
    cases.push_back(c);
  }
  {
    Case c;
    // The plan cannot be read because of an error: the target value would be made up, so the
    // day record is left alone (the booking stands, and the day is listed).
    c.name = "MissingAssignmentTableLeavesDayRecordAlone";
    c.rows = CommonTypes() + IllDayBefore("4711") + "drop table Krv329Ztg;\n";
    c.tgb = "4711    ,{P}\n";
    c.log = {"Info: Buchung eingepflegt! RC:0 Pnr:4711 Tag:{Y0} Fkt:1 Fcd:KRF",
             "Fehler(Azv_Read): Arbeitszeitvorgaben lesen RC:-942 Pnr:4711 Tag:{Y0}",
             "Fehler(Tag_Update): TagesSatz nicht aktualisiert! RC:-942 Pnr:4711 Tag:{Y0}"};
    c.after = {{DayRecords(0), {"4711|<null>|<null>|<null>|<null>|<null>|<null>"}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "RefusedPasswordLogs1017AndNothingElseHappens";
    c.rows = CommonTypes() + IllDayBefore("4711");
    c.wrong_password = true;
    c.tgb = "left from an earlier run\n";  // the scan never starts
    c.log = {"Fehler(DB-Connect)! RC:-1017 Name:{LOGIN} Pwd:******** Net:{NET}"};
    c.stderr_has = {"RC:-1017"};
    c.after = {{BookingsOfDay(0), {}}};
    cases.push_back(c);
  }
  return cases;
}

std::vector<Case> HourMessageCases() {
  std::vector<Case> cases;
  const std::string types = CommonTypes() + Fcd("KRH", 2, 0, 0, 0, "50", "0", "24", "'KRF'") +
                            Fcd("DGA", 2, 0, 0, 0, "50", "0", "NULL", "'DGF'") +
                            Fcd("DGF", 2, 2, 0, 0, "20", "2", "NULL", "NULL");
  {
    Case c;
    c.name = "HourMessageAtEndOfDay";
    c.rows = types + Day("4711", 1, "") + Bch("4711", 1, "070200", 21, "") +
             Bch("4711", 1, "133000", 24, "KRH") + Placeholder("4711") + Ztg("4711", "VZ40") +
             // 4712: a later booking follows the hour message: nothing is carried on
             Day("4712", 1, "") + Bch("4712", 1, "133000", 24, "KRH") +
             Bch("4712", 1, "150000", 22, "") + Placeholder("4712") + Ztg("4712", "VZ40") +
             // 4713: the hour message lies exactly on the end of the frame and counts
             Day("4713", 1, "") + Bch("4713", 1, "160000", 23, "KRH") + Placeholder("4713") +
             Ztg("4713", "VZ40");
    c.tgb = "4711    ,{P}\n4713    ,{P}\n";
    c.log = Join(Generated("4711", 1, "KRF"), Generated("4713", 1, "KRF"));
    c.unordered = true;
    c.after = {
        {BookingsOfDay(0), {"4711|{D0} 00:00:00|1|KRF|<null>", "4713|{D0} 00:00:00|1|KRF|<null>"}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "BothRulesOneDayOneLine";
    c.rows = types + Day("4711", 1, "KRA") + Bch("4711", 1, "000000", 1, "KRA") +
             Bch("4711", 1, "150000", 23, "DGA") + Placeholder("4711") + Ztg("4711", "VZ40");
    c.tgb = "4711    ,{P}\n";
    c.log = Join(Generated("4711", 1, "KRF"), Generated("4711", 2, "DGF"));
    c.after = {
        {BookingsOfDay(0), {"4711|{D0} 00:00:00|1|KRF|<null>", "4711|{D0} 00:00:00|2|DGF|<null>"}},
        {DayRecords(0), {"4711|KRF|480|DGF|240|<null>|0"}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "PassedOverDayFoundByItsHourMessages";  // FcdFcd 24 without follow-up
    c.rows = types + Fcd("DRS", 1, 1, 0, 0, "20", "0", "24", "NULL") + Day("4711", 1, "DRS") +
             Bch("4711", 1, "000000", 1, "DRS") + Bch("4711", 1, "140000", 24, "KRH") +
             Placeholder("4711") + Ztg("4711", "VZ40") +
             // 4712: a second such day is not passed over
             Day("4712", 1, "DRS") + Bch("4712", 1, "000000", 1, "DRS") + Day("4712", 2, "DRS") +
             Bch("4712", 2, "000000", 1, "DRS") + Bch("4712", 2, "140000", 24, "KRH") +
             Placeholder("4712");
    c.tgb = "4711    ,{P}\n";
    c.log = Generated("4711", 1, "KRF");
    cases.push_back(c);
  }
  return cases;
}

std::vector<Case> PriorityCases() {
  std::vector<Case> cases;
  const std::string types = CommonTypes() + Fcd("K1A", 1, 1, 0, 0, "20", "0", "NULL", "'K1F'") +
                            Fcd("K1F", 1, 1, 0, 0, "20", "1", "NULL", "NULL") +
                            Fcd("K2A", 1, 1, 0, 0, "20", "0", "NULL", "'K2F'") +
                            Fcd("K2F", 1, 1, 0, 0, "20", "2", "NULL", "NULL");
  {
    Case c;
    c.name = "CancelBlockAndEqualPriorities";
    c.rows =
        types + IllDayBefore("5001") + Bch("5001", 0, "080000", 1, "SCH") +  // lower: cancelled
        IllDayBefore("5002") + Bch("5002", 0, "080000", 2, "SUR") +          // higher: blocks
        IllDayBefore("5003") + Bch("5003", 0, "080000", 1, "EQL") +  // equal, FcdGpu 0: blocks
        IllDayBefore("5004", "K1A") + Bch("5004", 0, "080000", 3, "EQL") +  // equal, 1: cancelled
        IllDayBefore("5005", "K2A") + Bch("5005", 0, "080000", 1, "EQL");   // equal, 2: passed over
    c.tgb = "5001    ,{P}\n5004    ,{P}\n5005    ,{P}\n";
    c.log = Join(Generated("5001", 1, "KRF"),
                 std::vector<std::string>{Blocked("5002", "SUR"), Blocked("5003", "EQL")},
                 Generated("5004", 1, "K1F"), Generated("5005", 1, "K2F"));
    c.unordered = true;
    c.after = {{BookingsOfDay(0),
                {"5001|{D0} 00:00:00|1|KRF|<null>", "5001|{D0} 08:00:00|45|SCH|Korvant",
                 "5002|{D0} 08:00:00|2|SUR|fixture", "5003|{D0} 08:00:00|1|EQL|fixture",
                 "5004|{D0} 00:00:00|1|K1F|<null>", "5004|{D0} 08:00:00|45|EQL|Korvant",
                 "5005|{D0} 00:00:00|1|K2F|<null>", "5005|{D0} 08:00:00|1|EQL|fixture"}},
               {DayRecords(0),
                {"5001|KRF|480|<null>|0|<null>|0", "5002|<null>|<null>|<null>|<null>|<null>|<null>",
                 "5003|<null>|<null>|<null>|<null>|<null>|<null>", "5004|K1F|480|<null>|0|<null>|0",
                 "5005|K2F|480|<null>|0|<null>|0"}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "CancellationMeetsEarlierCancelledBooking";
    c.rows = types + IllDayBefore("6001") + Bch("6001", 0, "080000", 1, "SCH") +
             Bch("6001", 0, "080000", 45, "SCH");
    c.tgb = "6001    ,{P}\n";
    c.log = Join(
        std::vector<std::string>{
            "Info: BchSatz(Storno) gelöscht RC:0 Pnr:6001 Tag:{Y0} Fcd:SCH Fkt:45 "},
        Generated("6001", 1, "KRF"));
    c.after = {{BookingsOfDay(0),
                {"6001|{D0} 00:00:00|1|KRF|<null>", "6001|{D0} 08:00:00|45|SCH|Korvant"}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "InsertBreakingUniqueKeyStillUpdatesDay";
    c.rows = types + IllDayBefore("9101", "K2A") + Bch("9101", 0, "000000", 1, "EQL");
    c.tgb = "9101    ,{P}\n";
    c.log = {"Fehler(Bch_Insert): Buchung einpflegen! RC:-1 Pnr:9101 Tag:{Y0} Fkt:1 Fcd:K2F",
             "Info: TagesSatz aktualisiert! RC:0 Pnr:9101 Tag:{Y0}"};
    c.after = {{BookingsOfDay(0), {"9101|{D0} 00:00:00|1|EQL|fixture"}},
               {DayRecords(0), {"9101|K2F|480|<null>|0|<null>|0"}}};
    cases.push_back(c);
  }
  {
    // After the failed insert the next person's follow-up is booked and committed: the failure
    // took nothing else with it.
    Case c;
    c.name = "UniqueKeyBreakLeavesTheNextPersonsBookingCommitted";
    c.rows = types + IllDayBefore("9101", "K2A") + Bch("9101", 0, "000000", 1, "EQL") +
             IllDayBefore("9102", "K2A");
    c.unordered = true;
    c.tgb = "9101    ,{P}\n9102    ,{P}\n";
    c.log = Join(
        std::vector<std::string>{
            "Fehler(Bch_Insert): Buchung einpflegen! RC:-1 Pnr:9101 Tag:{Y0} Fkt:1 Fcd:K2F",
            "Info: TagesSatz aktualisiert! RC:0 Pnr:9101 Tag:{Y0}"},
        Generated("9102", 1, "K2F"));
    c.after = {
        {BookingsOfDay(0), {"9101|{D0} 00:00:00|1|EQL|fixture", "9102|{D0} 00:00:00|1|K2F|<null>"}},
        {DayRecords(0), {"9101|K2F|480|<null>|0|<null>|0", "9102|K2F|480|<null>|0|<null>|0"}}};
    cases.push_back(c);
  }
  {
    Case c;
    c.name = "TargetTimeRefusalWithLoggingOff";
    c.rows = types + Fcd("KUR", 1, 1, 0, 0, "15", "0", "NULL", "'KUF'") +
             Fcd("KUF", 1, 1, 0, 1, "15", "0", "NULL", "NULL") + Day("7001", 1, "KUR") +
             Bch("7001", 1, "000000", 1, "KUR") + Placeholder("7001", 0) + Ztg("7001", "VZ40") +
             Bch("7001", 0, "080000", 1, "SCH");  // ranks lower, but nothing is cancelled
    c.param3 = "X";
    c.tgb = "";
    c.log = {"Info: Folgemeldungsart mit Sollzeitprüfung! Pnr:7001 Tag:{Y0} ParVek:KUF"};
    c.after = {{BookingsOfDay(0), {"7001|{D0} 08:00:00|1|SCH|fixture"}},
               {DayRecords(0), {"7001|<null>|<null>|<null>|<null>|<null>|<null>"}}};
    cases.push_back(c);
  }
  return cases;
}

// Every row of the target-value table: each person's follow-up type has its own FcdZwt/FcdTyp.
Case TargetValueCase() {
  struct Row {
    const char* pnr;
    int zwt, typ, std_value;
    const char* plan;  // nullptr: no working-time plan
    const char* expected;
  };
  const Row rows[] = {
      {"8001", 1, 1, 0, "VZA", "8001|Z01|481|<null>|0|<null>|0"},
      {"8002", 1, 2, 0, "VZA", "8002|<null>|0|Z02|240|<null>|0"},  // halved
      {"8003", 1, 3, 0, "NEG", "8003|<null>|0|<null>|0|Z03|-1"},   // -3 halved toward zero
      {"8004", 2, 1, 0, "VZA", "8004|Z04|300|<null>|0|<null>|0"},
      {"8005", 3, 1, 0, "VZA", "8005|Z05|240|<null>|0|<null>|0"},
      {"8006", 4, 2, 0, "VZA", "8006|<null>|0|Z06|121|<null>|0"},  // not halved
      {"8007", 14, 1, 375, "VZA", "8007|Z07|375|<null>|0|<null>|0"},
      {"8008", 15, 3, 0, "VZA", "8008|<null>|0|<null>|0|Z08|501"},  // sum, not halved
      {"8009", 16, 2, 0, "VZA", "8009|<null>|0|Z09|247|<null>|0"},
      {"8010", 17, 1, 0, "VZA", "8010|Z10|320|<null>|0|<null>|0"},
      {"8011", 18, 1, 0, "VZA", "8011|Z11|128|<null>|0|<null>|0"},
      {"8012", 0, 1, 375, "VZA", "8012|Z12|0|<null>|0|<null>|0"},
      {"8013", 5, 1, 375, "VZA", "8013|Z13|0|<null>|0|<null>|0"},
      {"8014", 13, 1, 375, "VZA", "8014|Z14|0|<null>|0|<null>|0"},
      {"8015", 19, 1, 375, "VZA", "8015|Z15|0|<null>|0|<null>|0"},
      {"8016", 15, 1, 0, nullptr, "8016|Z16|0|<null>|0|<null>|0"},  // no working-time plan: 0
      {"8017", 14, 1, 90, nullptr, "8017|Z17|90|<null>|0|<null>|0"},
      {"8018", 1, 4, 0, "VZA", "8018|<null>|0|<null>|0|<null>|0"},  // other kind: no pair
  };
  Case c;
  c.name = "EveryTargetValueRule";
  c.rows = Azv("VZA", 481, 300, 20, 240, 121, 7) + Azv("NEG", -3, 0, 0, 0, 0, 0);
  c.unordered = true;
  std::vector<std::string> days;
  for (const Row& r : rows) {
    const std::string n = std::string(r.pnr).substr(2);
    const std::string ref = "R" + n, fol = "Z" + n;
    c.rows += Fcd(ref, 1, 1, 0, 0, "20", "0", "NULL", "'" + fol + "'") +
              Fcd(fol, r.typ, r.zwt, r.std_value, 0, "20", "0", "NULL", "NULL") +
              Day(r.pnr, 1, ref) + Bch(r.pnr, 1, "000000", 1, ref) + Placeholder(r.pnr);
    if (r.plan != nullptr) {
      c.rows += Ztg(r.pnr, r.plan);
    } else {
      c.log.push_back(std::string("Fehler(Azv_Read): Arbeitszeitvorgaben lesen RC:1403 Pnr:") +
                      r.pnr + " Tag:{Y0}");
    }
    c.tgb += std::string(r.pnr) + "    ,{P}\n";
    for (const auto& l : Generated(r.pnr, r.typ, fol)) c.log.push_back(l);
    days.push_back(r.expected);
  }
  c.after = {{DayRecords(0), days}};
  return c;
}

// One whole accounting day in debug mode, every line compared.
Case DebugCase() {
  Case c;
  c.name = "DebugOutputOfOneDay";
  c.rows = CommonTypes() + IllDayBefore("4711");
  c.debug = true;
  c.tgb = "4711    ,{P}\n";
  c.log = Generated("4711", 1, "KRF");
  const std::string acc_before =
      "\nTagPnr: 4711\nTagTag: {Y0}\nTagVon: {Y0}\nTagUhr: 120000\nTagBis: {Y0}\nTagEnd: "
      "120000\nTagSol: 480\n"
      "TagTgb: \nTagTgs: 0\nTagHtv: \nTagHvs: 0\nTagHtn: \nTagHns: 0\n\n";
  const std::string acc_after =
      "\nTagPnr: 4711\nTagTag: {Y0}\nTagVon: {Y0}\nTagUhr: 120000\nTagBis: {Y0}\nTagEnd: "
      "120000\nTagSol: 480\n"
      "TagTgb: KRF\nTagTgs: 480\nTagHtv: \nTagHvs: 0\nTagHtn: \nTagHns: 0\n\n";
  const std::string ref =
      "\nTagPnr: 4711\nTagTag: {Y1}\nTagVon: {Y1}\nTagUhr: 070000\nTagBis: {Y1}\nTagEnd: "
      "160000\nTagSol: 480\n"
      "TagTgb: KRA\nTagTgs: 480\nTagHtv: \nTagHvs: 0\nTagHtn: \nTagHns: 0\n\n";
  c.stdout_text =
      "\nLesen TagSatz!\naktueller Tagsatz!!!\n" + acc_before +
      "\nTag mit Tagesmeldungen gefunden !\n" + ref +
      "Tag mit letzter Meldung gefungen! Pnr: 4711 Datum: {Y1}!\n" +
      "\nBeginn Meldungsverarbeitung!\naktueller Tagsatz!!!\n" + acc_before +
      "letzter Tagsatz!!!\n" + ref + "Beginn Meldung generieren!\nEnde Meldung generieren!\n" +
      "\nEnde Meldungsverarbeitung!\naktueller Tagsatz!!!\n" + acc_after + "letzter Tagsatz!!!\n" +
      ref + "Parametersatz in Datei schreiben: 4711    ,{P}\n!\n";
  return c;
}

std::vector<Case> AllCases() {
  std::vector<Case> all;
  for (auto& v : {DayMessageCases(), HourMessageCases(), PriorityCases()})
    all.insert(all.end(), v.begin(), v.end());
  all.push_back(TargetValueCase());
  all.push_back(DebugCase());
  return all;
}

// Every backend, and once more PostgreSQL through ODBC with the texts of record on orafce. No
// case here differs there because of orafce's concat, which takes NULL for an empty text (a
// frame with a NULL start); tests/odbc names that difference.
std::vector<std::string> NightBackends() {
  std::vector<std::string> names = pvt::BackendNames();
  names.push_back("odbc_pg_record");
  return names;
}

// The preview needs cursors that see the session's own uncommitted writes. The native backends
// offer them, and so do the ODBC routes here: both drivers keep cursors across commits, so the job
// runs on one session (a driver that cannot makes the session refuse; tests/odbc covers that).
bool PreviewOffered(const std::string& backend) {
  (void)backend;
  return true;
}

// ---- the runner --------------------------------------------------------------------------------

// How a case is run: the job's night, or parvekctl's catch-up of the same data one day further
// back (--day names that day), which must give what the night gives.
enum class Mode { kNight, kCatchUp };

// Undoes SetDaysBack when a test ends, whatever way.
struct DaysBack {
  explicit DaysBack(int days) { e2e::SetDaysBack(days); }
  ~DaysBack() { e2e::SetDaysBack(0); }
};

void RunCase(const std::string& backend_name, const Case& night_case, Mode mode) {
  const pvt::Backend backend = pvt::BackendNamed(backend_name);
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  if (night_case.wrong_password && !pvt::EngineOf(backend_name).checks_password)
    GTEST_SKIP() << backend_name << " takes any password";
  const DaysBack shift(mode == Mode::kCatchUp ? 1 : 0);
  // The case's rows and selects made again with every day one further back.
  Case c = night_case;
  for (const Case& back : AllCases())
    if (mode == Mode::kCatchUp && back.name == night_case.name) c = back;

  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(backend, why), 0) << why;
  ASSERT_EQ(db.Exec(e2e::Tok(c.rows)), 0) << db.last_error();
  const auto tok = [&](const std::string& text) {
    std::string s = e2e::Tok(text, db.schema());
    for (const auto& [from, to] : {std::pair{"{LOGIN}", db.login()}, std::pair{"{NET}", db.net()}})
      for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, std::string(from).size(), to);
    return s;
  };

  pvt::TempDir dir;
  const fs::path work = dir.path();
  const std::string pass = c.wrong_password ? db.pass() + "-not-it" : db.pass();
  std::ofstream(work / "settings.ini") << JobSettings(db.login(), pass, db.net(), db.schema());
  std::ofstream(work / "parvektgb") << "left from an earlier run\n";

  pvt::RunOptions options;
  if (c.debug) options.env["PARVEK_DBG"] = "1";
  std::vector<std::string> args = {"settings.ini", c.param2, c.param3};
  if (mode == Mode::kCatchUp)
    args = {"night", "settings.ini", c.param2, c.param3, "--day", tok("{D0}")};
  const pvt::Result r =
      pvt::Run(mode == Mode::kNight ? PARVEK_BIN : PARVEKCTL_BIN, work, args, options);
  ASSERT_EQ(r.exited, 1) << "signal " << r.signal;
  EXPECT_EQ(r.code, 0);
  if (c.stderr_has.empty()) {
    EXPECT_EQ(r.err, "");
  }
  for (const auto& part : c.stderr_has) {
    EXPECT_NE(r.err.find(tok(part)), std::string::npos) << r.err;
  }
  if (!pass.empty()) {
    EXPECT_EQ(r.err.find(pass), std::string::npos) << "standard error shows the password";
  }

  // Parameter file: created anew, the expected lines.
  const std::string tgb = ReadFile(work / "parvektgb");
  if (c.unordered) {
    EXPECT_EQ(Sorted(Lines(tgb)), Sorted(Lines(tok(c.tgb))));
    EXPECT_TRUE(tgb.empty() || tgb.back() == '\n');
  } else {
    EXPECT_EQ(tgb, tok(c.tgb));
  }

  // Run log: with logging on, one time stamp, then the entries; a catch-up that connected names
  // its day first.
  std::string log = ReadFile(work / "parvek.log");
  std::vector<std::string> expected_log;
  if (!pass.empty()) {
    EXPECT_EQ(log.find(pass), std::string::npos) << "the run log shows the password";
  }
  if (c.param3.rfind('D', 0) == 0) {
    const std::regex stamp("^\nDatum: \\d\\d\\.\\d\\d\\.\\d{4}  Uhrzeit: \\d\\d:\\d\\d:\\d\\d\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, stamp)) << log;
    log = m.suffix();
    // Only a night that connected reaches the scan, which notes the day.
    const bool connects = c.log.empty() || c.log[0].rfind("Fehler(DB-Connect)", 0) != 0;
    if (mode == Mode::kCatchUp && connects) {
      ASSERT_EQ(Lines(log).at(0), tok("Info: Nachholung für Abrechnungstag Tag:{Y0}"));
      log = log.substr(log.find('\n') + 1);
    }
  }
  for (const auto& l : c.log) expected_log.push_back(tok(l));
  EXPECT_EQ(log.empty() || log.back() == '\n', true);
  if (c.unordered) {
    EXPECT_EQ(Sorted(Lines(log)), Sorted(expected_log)) << log;
  } else {
    EXPECT_EQ(Lines(log), expected_log) << log;
  }

  if (!c.debug) {
    EXPECT_EQ(r.out, "");
  } else if (!c.stdout_text.empty()) {
    EXPECT_EQ(r.out, tok(c.stdout_text));
  }

  for (const auto& [select, rows] : c.after) {
    std::vector<std::string> expected;
    for (const auto& line : rows) expected.push_back(tok(line));
    EXPECT_EQ(db.Lines(tok(select)), expected) << select;
  }
  if (::testing::Test::HasFailure()) dir.Keep();
}

using BackendAndCase = std::tuple<std::string, Case>;
class NightlyRun : public ::testing::TestWithParam<BackendAndCase> {};

TEST_P(NightlyRun, Case) {
  RunCase(std::get<0>(GetParam()), std::get<1>(GetParam()), Mode::kNight);
}
// A missed night caught up one day later gives exactly what that night would have given.
TEST_P(NightlyRun, CatchUpOfTheDayBefore) {
  RunCase(std::get<0>(GetParam()), std::get<1>(GetParam()), Mode::kCatchUp);
}
// The preview shows what the night then does, and changes nothing.
TEST_P(NightlyRun, PreviewEqualsNight) {
  const auto& [backend_name, c] = GetParam();
  const pvt::Backend backend = pvt::BackendNamed(backend_name);
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(backend, why), 0) << why;
  ASSERT_EQ(db.Exec(e2e::Tok(c.rows)), 0) << db.last_error();
  e2e::ExpectPreviewEqualsNight(db, c.param2, c.param3, c.unordered, PreviewOffered(backend_name));
}

// A night taken back by its journal leaves every table as before it; the undo taken back gives
// the night's tables again.
TEST_P(NightlyRun, UndoRestoresEveryTable) {
  const auto& [backend_name, c] = GetParam();
  const pvt::Backend backend = pvt::BackendNamed(backend_name);
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  if (c.wrong_password) GTEST_SKIP() << "a night that cannot log on changes nothing";
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(backend, why), 0) << why;
  ASSERT_EQ(db.Exec(e2e::Tok(c.rows)), 0) << db.last_error();
  e2e::ExpectUndoRestores(db, c.param2, c.param3);
}

const auto kNames = [](const ::testing::TestParamInfo<BackendAndCase>& p) {
  return std::get<0>(p.param) + "_" + std::get<1>(p.param).name;
};
INSTANTIATE_TEST_SUITE_P(Backends, NightlyRun,
                         ::testing::Combine(::testing::ValuesIn(NightBackends()),
                                            ::testing::ValuesIn(AllCases())),
                         kNames);

// Generated population: `persons` persons over 40 days in `db`.
void Generate(pvt::TempSchema& db, int persons) {
  db.CloseSide();
  std::vector<std::string> gen = {"gen",    db.net(), db.schema(), "--persons", std::to_string(persons),
                                  "--days", "40",     "--seed",    "12"};
  if (!db.login().empty()) gen.insert(gen.end(), {"--login", db.login()});
  pvt::RunOptions options;
  options.env["PARVEK_PASS"] = db.pass();
  const pvt::Result r = pvt::Run(PARVEKCTL_BIN, ".", gen, options);
  ASSERT_EQ(r.code, 0) << r.err;
}

// The same on a generated population of 1,000 persons.
// Each case on a fresh schema of the backend named by the parameter.
class GeneratedNight : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const pvt::Backend backend = pvt::BackendNamed(GetParam());
    if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
    std::string why;
    ASSERT_EQ(db_.Create(backend, why), 0) << why;
  }
  pvt::TempSchema db_;
};
TEST_P(GeneratedNight, PreviewEqualsNight) {
  pvt::TempSchema& db = db_;
  Generate(db, 1000);
  const bool offered = PreviewOffered(GetParam());
  EXPECT_GT(e2e::ExpectPreviewEqualsNight(db, "KRVNT", "D", true, offered), offered ? 100 : -1);
}
INSTANTIATE_TEST_SUITE_P(Backends, GeneratedNight, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

TEST_P(GeneratedNight, UndoRestoresEveryTable) {
  pvt::TempSchema& db = db_;
  Generate(db, 1000);
  EXPECT_GT(e2e::ExpectUndoRestores(db, "KRVNT", "D"), 100);
}

// A clerk's change between the night and the undo stays, and is listed as skipped (exit code 1).
// A changed day record or follow-up booking keeps the person's whole day as it stands (the rest
// put back alone would leave a follow-up booking on a placeholder, or a day record naming a
// follow-up booking that is gone); a booking deleted since is as before the night, and another
// skip holds nothing back. The days changed back go into the parameter file.
struct ClerkChange {
  std::string pnr, sql;           // the person, and what the clerk did on it
  std::vector<std::string> said;  // lines of the undo's output, as far as they go
  std::string booking, day;       // the person's rows after the undo; "" for none
};

TEST_P(GeneratedNight, UndoKeepsWhatAClerkChangedSince) {
  pvt::TempSchema& db = db_;
  const std::string y0 = pvt::Ts(e2e::Tok("{Y0}"));
  const std::string placeholder = "|<null>|<null>|<null>|<null>|<null>|<null>";
  const std::vector<ClerkChange> changes = {
      {"7001",
       "update Krv321Bch set BchZwt = 5 where BchPnr = '7001' and BchFcd = 'KRF'",
       {"skipped +#\\d+ booking 7001 {D0} 00:00:00 function 1 inserted: changed since; the "
        "person's other changes are kept with it\n",
        "kept +#\\d+ day record 7001 {D0}: kept as it stands with #\\d+\n"},
       "7001|{D0} 00:00:00|1|KRF|<null>",
       "7001|KRF|480|<null>|0|<null>|0"},
      {"7002",
       "update Krv327Tag set TagTgs = 1 where TagPnr = '7002' and TagTag = " + y0,
       {"skipped +#\\d+ day record 7002 {D0}: changed since; the person's other changes are kept",
        "kept +#\\d+ booking 7002 {D0} 00:00:00 function 1 inserted: kept as it stands"},
       "7002|{D0} 00:00:00|1|KRF|<null>",
       "7002|KRF|1|<null>|0|<null>|0"},
      {"7003",
       "",
       {"reverted +#\\d+ day record 7003 {D0}\n",
        "reverted +#\\d+ booking 7003 {D0} 00:00:00 function 1 inserted\n"},
       "",
       "7003" + placeholder},
      {"7004",
       "delete from Krv321Bch where BchPnr = '7004' and BchFcd = 'KRF'",
       {"already +#\\d+ booking 7004 {D0} 00:00:00 function 1 inserted: as before the run",
        "reverted +#\\d+ day record 7004 {D0}\n"},
       "",
       "7004" + placeholder},
      {"7005",
       "update Krv321Bch set BchErf = 'clerk' where BchPnr = '7005' and BchFkt = 45",
       {"skipped +#\\d+ booking 7005 {D0} 08:00:00 function 45 changed from function 1: "
        "changed since\n",
        "reverted +#\\d+ booking 7005 {D0} 00:00:00 function 1 inserted\n",
        "reverted +#\\d+ day record 7005 {D0}\n"},
       "7005|{D0} 08:00:00|45|SCH|clerk",
       "7005" + placeholder}};
  std::string rows = CommonTypes();
  for (const ClerkChange& c : changes) rows += IllDayBefore(c.pnr);
  ASSERT_EQ(db.Exec(e2e::Tok(rows + Bch("7005", 0, "080000", 1, "SCH"))), 0) << db.last_error();
  pvt::TempDir dir;
  const fs::path work = dir.path();
  std::ofstream(work / "settings.ini") << JobSettings(db.login(), db.pass(), db.net(), db.schema());
  // A journal past its 90 days goes with the next journalled night; other files stay.
  fs::create_directory(work / "journal");
  const auto aged = fs::file_time_type::clock::now() - std::chrono::hours(24 * 91);
  for (const char* name : {"parvek-20200101-20200102T041500.journal", "notes.journal.txt"}) {
    std::ofstream(work / "journal" / name)
        << R"({"journal":"night","day":"20200101","start":"20200102T041500","version":"0.9.0"})"
        << "\n";
    fs::last_write_time(work / "journal" / name, aged);
  }
  const std::string day = e2e::AccountingDay(db);
  db.CloseSide();
  pvt::Result r =
      pvt::Run(PARVEKCTL_BIN, work,
               {"night", "settings.ini", "XXX", "D", "--day", day, "--journal", "journal"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(fs::exists(work / "journal" / "parvek-20200101-20200102T041500.journal"));
  EXPECT_TRUE(fs::exists(work / "journal" / "notes.journal.txt"));
  for (const ClerkChange& c : changes) {
    if (!c.sql.empty()) {
      ASSERT_EQ(db.Exec(c.sql + ";\n"), 0) << db.last_error();
    }
  }
  db.CloseSide();
  const std::string journal = e2e::OneJournal(work / "journal", false);
  // Settings of another database than the journal's are refused before anything is done.
  std::ofstream(work / "other.ini") << JobSettings(db.login(), db.pass(), db.net(), "OTHER");
  r = pvt::Run(PARVEKCTL_BIN, work, {"undo", journal, "--settings", "other.ini"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("names another database"), std::string::npos) << r.err;
  // The journal names the schema the night worked on, not the SCHEMA value it came from; a
  // value that gives the same schema (another case) names the same database.
  EXPECT_NE(ReadFile(journal).find("\"schema\":\"" + db.schema() + "\""), std::string::npos);
  std::string lower = db.schema();
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::ofstream(work / "same.ini") << JobSettings(db.login(), db.pass(), db.net(), lower);
  r = pvt::Run(PARVEKCTL_BIN, work, {"undo", journal, "--preview", "--settings", "same.ini"});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  r = pvt::Run(PARVEKCTL_BIN, work, {"undo", journal});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  std::vector<std::string> bookings, days;
  for (const ClerkChange& c : changes) {
    for (const std::string& said : c.said)
      EXPECT_TRUE(std::regex_search(r.out, std::regex(e2e::Tok(said)))) << said << "\nin:\n"
                                                                        << r.out;
    if (!c.booking.empty()) bookings.push_back(e2e::Tok(c.booking));
    days.push_back(c.day);
  }
  EXPECT_EQ(Sorted(db.Lines(e2e::Tok(BookingsOfDay(0)))), Sorted(bookings));
  EXPECT_EQ(db.Lines(e2e::Tok(e2e::DayRecords(0))), days);
  EXPECT_EQ(Sorted(Lines(ReadFile(work / "parvektgb.undo"))),
            Lines(e2e::Tok("7003    ,{P}\n7004    ,{P}\n7005    ,{P}\n")));
  if (::testing::Test::HasFailure()) dir.Keep();
}

// A journal that cannot be made keeps the night from running.
TEST_P(GeneratedNight, NightWithoutItsJournalDoesNotRun) {
  pvt::TempSchema& db = db_;
  ASSERT_EQ(db.Exec(e2e::Tok(CommonTypes() + IllDayBefore("7001"))), 0) << db.last_error();
  pvt::TempDir dir;
  std::ofstream(dir / "settings.ini") << JobSettings(db.login(), db.pass(), db.net(), db.schema());
  const auto before = e2e::DumpAll(db);
  db.CloseSide();
  const pvt::Result r = pvt::Run(PARVEKCTL_BIN, dir.path(),
                                 {"night", "settings.ini", "XXX", "D", "--journal", "settings.ini/j"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("cannot make the journal directory"), std::string::npos) << r.err;
  EXPECT_EQ(e2e::DumpDiff(e2e::DumpAll(db), before), "");
  EXPECT_FALSE(fs::exists(dir / "parvek.log"));
}

// A night killed at any point leaves a journal whose undo takes back everything it committed.
TEST_P(GeneratedNight, UndoOfAKilledNightRestoresEveryTable) {
  pvt::TempSchema& db = db_;
  Generate(db, 300);
  pvt::TempDir dir;
  const fs::path work = dir.path();
  std::ofstream(work / "settings.ini") << JobSettings(db.login(), db.pass(), db.net(), db.schema());
  // Every night here works on the same day.
  const std::string day = e2e::AccountingDay(db);
  const auto before = e2e::DumpAll(db);
  db.CloseSide();
  // How long a whole night takes here, taken back at once.
  const auto t0 = std::chrono::steady_clock::now();
  pvt::Result r = pvt::Run(PARVEKCTL_BIN, work,
                           {"night", "settings.ini", "XXX", "D", "--day", day, "--journal",
                            "journal-0"});
  const auto night_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count();
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, {"undo", e2e::OneJournal(work / "journal-0", false)}).code,
            0);
  std::mt19937 random(23);
  int midway = 0;  // trials whose undo found a journal without its closing line
  for (int trial = 1; trial <= 20; ++trial) {
    const std::string jdir = "journal-" + std::to_string(trial);
    const pid_t pid = pvt::Start(
        PARVEKCTL_BIN, work,
        {"night", "settings.ini", "XXX", "D", "--day", day, "--force", "--journal", jdir});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(
        std::uniform_int_distribution<long>(0, std::max<long>(night_ms, 1))(random)));
    ::kill(pid, SIGKILL);
    pvt::Wait(pid, work);
    SCOPED_TRACE("trial " + std::to_string(trial));
    // A night killed before its journal file was made had written nothing: nothing to take back.
    bool journalled = false;
    if (fs::exists(work / jdir))
      for (const auto& e : fs::directory_iterator(work / jdir))
        journalled = journalled || e.path().extension() == ".journal";
    if (journalled) {
      r = pvt::Run(PARVEKCTL_BIN, work, {"undo", e2e::OneJournal(work / jdir, false)});
      EXPECT_EQ(r.code, 0) << r.out << r.err;
      midway += r.out.find("ended midway") != std::string::npos;
    }
    EXPECT_EQ(e2e::DumpDiff(e2e::DumpAll(db), before), "") << r.out;
    db.CloseSide();
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GE(midway, 5) << "too few nights were killed while they ran";
  if (::testing::Test::HasFailure()) dir.Keep();
}

// The bookings and day records of `all` (DumpAll) by person, each row led by its table.
std::map<std::string, std::vector<std::string>> ByPerson(
    const std::map<std::string, std::vector<std::string>>& all) {
  std::map<std::string, std::vector<std::string>> persons;
  for (const char* table : {"Krv321Bch", "Krv327Tag"})
    for (const std::string& row : all.at(table))
      persons[row.substr(0, row.find('|'))].push_back(std::string(table) + " " + row);
  return persons;
}

// The journals in `dir` now, by name.
std::set<std::string> JournalsIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".journal") names.insert(e.path().string());
  return names;
}

// Writes the settings file of `db` into `work` and gives the command line of a night of the
// database's accounting day there that journals into "journal".
std::vector<std::string> JournalledNight(pvt::TempSchema& db, const fs::path& work) {
  std::ofstream(work / "settings.ini") << JobSettings(db.login(), db.pass(), db.net(), db.schema());
  return {"night", "settings.ini", "XXX", "D", "--day", e2e::AccountingDay(db), "--journal", "journal"};
}

// The one journal in `dir` that is not among `known`.
std::string NewJournal(const fs::path& dir, const std::set<std::string>& known) {
  std::vector<std::string> fresh;
  for (const std::string& j : JournalsIn(dir))
    if (known.count(j) == 0) fresh.push_back(j);
  EXPECT_EQ(fresh.size(), 1u);
  return fresh.empty() ? "" : fresh.front();
}

// A revert that fails takes its person's other reverts back with it: the person stays wholly as
// the night left it, and the undo's journal confirms none of its writes, while the other persons
// are taken back and listed in the parameter file at once. The rerun completes the person and
// adds its line; an undo of the rerun's journal keeps every line and adds its own.
TEST_P(GeneratedNight, UndoKeepsAPersonWholeWhenOneOfItsRevertsFails) {
  pvt::TempSchema& db = db_;
  ASSERT_EQ(db.Exec(e2e::Tok(CommonTypes() + IllDayBefore("8001") + IllDayBefore("8002") +
                             Bch("8002", 0, "080000", 1, "SCH") + IllDayBefore("8003"))),
            0)
      << db.last_error();
  pvt::TempDir dir;
  const fs::path work = dir.path();
  const std::vector<std::string> journalled = JournalledNight(db, work);
  const auto before = e2e::DumpAll(db);
  db.CloseSide();
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, journalled).code, 0);
  const auto night = ByPerson(e2e::DumpAll(db));
  db.CloseSide();
  // The revert of 8002's cancellation, the last of its three, is given a stamp no day has.
  const std::string journal = e2e::OneJournal(work / "journal", false);
  const std::string text = ReadFile(journal);
  std::string broken;
  for (const std::string& line : Lines(text)) {
    nlohmann::json l = nlohmann::json::parse(line);
    if (l.value("change", "") == "function") l["before"]["BchDat"] = "20261399000000";
    broken += l.dump() + "\n";
  }
  std::ofstream(journal, std::ios::trunc) << broken;
  pvt::Result r = pvt::Run(PARVEKCTL_BIN, work, {"undo", journal});
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("failed +#\\d+ booking 8002 .* function 45 "
                                                  "changed from function 1: RC:-18")))
      << r.out;
  auto now = ByPerson(e2e::DumpAll(db));
  db.CloseSide();
  EXPECT_EQ(now["8002"], night.at("8002"));
  for (const char* pnr : {"8001", "8003"}) EXPECT_EQ(now[pnr], ByPerson(before).at(pnr)) << pnr;
  EXPECT_EQ(Sorted(Lines(ReadFile(work / "parvektgb.undo"))),
            Lines(e2e::Tok("8001    ,{P}\n8003    ,{P}\n")));
  journal::Journal undo;
  std::string why;
  const std::string first_undo = e2e::OneJournal(work / "journal", true);
  ASSERT_TRUE(journal::Read(first_undo, undo, why)) << why;
  int of_8002 = 0;
  for (const journal::Entry& e : undo.entries) {
    const bool mine = e.line.dump().find("\"8002\"") != std::string::npos;
    of_8002 += mine;
    EXPECT_EQ(e.state, mine ? journal::Entry::State::kFailed : journal::Entry::State::kConfirmed)
        << e.line.dump();
  }
  EXPECT_EQ(of_8002, 3);
  EXPECT_EQ(undo.entries.size(), 7u);

  std::ofstream(journal, std::ios::trunc) << text;
  r = pvt::Run(PARVEKCTL_BIN, work, {"undo", journal});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(e2e::DumpDiff(e2e::DumpAll(db), before), "") << r.out;
  db.CloseSide();
  EXPECT_EQ(Sorted(Lines(ReadFile(work / "parvektgb.undo"))),
            Lines(e2e::Tok("8001    ,{P}\n8002    ,{P}\n8003    ,{P}\n")));
  const std::string rerun = NewJournal(work / "journal", {journal, first_undo});
  r = pvt::Run(PARVEKCTL_BIN, work, {"undo", rerun});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(ByPerson(e2e::DumpAll(db))["8002"], night.at("8002"));
  db.CloseSide();
  EXPECT_EQ(Sorted(Lines(ReadFile(work / "parvektgb.undo"))),
            Lines(e2e::Tok("8001    ,{P}\n8002    ,{P}\n8002    ,{P}\n8003    ,{P}\n")));
  if (::testing::Test::HasFailure()) dir.Keep();
}

// A night and its rerun of the same day leave two journals: the older one is taken back only once
// the later one is, also from a copy in another folder; then both restore the tables.
TEST_P(GeneratedNight, UndoTakesTheJournalsOfADayNewestFirst) {
  pvt::TempSchema& db = db_;
  // Their follow-up yields to one of equal priority: the rerun cancels the night's and books anew.
  ASSERT_EQ(db.Exec(e2e::Tok(CommonTypes() + Fcd("K1A", 1, 1, 0, 0, "20", "0", "NULL", "'K1F'") +
                             Fcd("K1F", 1, 1, 0, 0, "20", "1", "NULL", "NULL") +
                             IllDayBefore("8101", "K1A") + IllDayBefore("8102", "K1A"))),
            0)
      << db.last_error();
  pvt::TempDir dir;
  const fs::path work = dir.path();
  const std::vector<std::string> night = JournalledNight(db, work);
  const auto before = e2e::DumpAll(db);
  db.CloseSide();
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, night).code, 0);
  const std::string older = e2e::OneJournal(work / "journal", false);
  std::vector<std::string> rerun = night;
  rerun.push_back("--force");
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, rerun).code, 0);
  const std::string later = NewJournal(work / "journal", {older});
  const auto after = e2e::DumpAll(db);
  db.CloseSide();
  fs::create_directory(work / "elsewhere");
  fs::copy_file(older, work / "elsewhere" / "night.journal");
  for (const std::string& j : {older, (work / "elsewhere" / "night.journal").string()}) {
    const pvt::Result r = pvt::Run(PARVEKCTL_BIN, work, {"undo", j});
    EXPECT_EQ(r.code, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("take them back first, newest first:\n  " + later + " (a night"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(e2e::DumpDiff(e2e::DumpAll(db), after), "");
    db.CloseSide();
  }
  EXPECT_EQ(JournalsIn(work / "journal").size(), 2u);
  EXPECT_FALSE(fs::exists(work / "parvektgb.undo"));
  for (const std::string& j : {later, older}) {
    const pvt::Result r = pvt::Run(PARVEKCTL_BIN, work, {"undo", j});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
  }
  EXPECT_EQ(e2e::DumpDiff(e2e::DumpAll(db), before), "");
  if (::testing::Test::HasFailure()) dir.Keep();
}

// Whether the started program `pid` has ended; it is left for pvt::Wait to collect.
bool Ended(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

// The undo's journal in `dir` that is not among `known`; "" while there is none.
std::string NewUndoJournal(const fs::path& dir, const std::set<std::string>& known) {
  for (const std::string& j : JournalsIn(dir))
    if (known.count(j) == 0 && fs::path(j).filename().string().find("-undo") != std::string::npos)
      return j;
  return "";
}

// The person a journal's change line belongs to.
std::string PersonOf(const nlohmann::json& line) {
  const nlohmann::json& k =
      line.contains("row") && line["row"].is_object() ? line["row"] : line.at("key");
  return (k.contains("TagPnr") ? k["TagPnr"] : k.at("BchPnr")).get<std::string>();
}

// The persons whose writes the journal at `path` confirms ("ok" lines).
std::set<std::string> ConfirmedPersons(const std::string& path) {
  std::set<std::string> persons;
  journal::Journal j;
  std::string why;
  EXPECT_TRUE(journal::Read(path, j, why)) << path << ": " << why;
  for (const journal::Entry& e : j.entries)
    if (e.state == journal::Entry::State::kConfirmed) persons.insert(PersonOf(e.line));
  return persons;
}

// The persons a parameter file lists.
std::set<std::string> ListedPersons(const fs::path& params) {
  std::set<std::string> listed;
  if (fs::exists(params))
    for (const std::string& line : Lines(ReadFile(params)))
      listed.insert(line.substr(0, line.find_first_of(" ,")));
  return listed;
}

std::set<std::string> Without(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

// An undo killed at any point while it takes persons back leaves every person wholly as before
// it or wholly as after it; a person its journal confirms is listed in its parameter file, and a
// person listed there is taken back. Its rerun takes back the rest: together their parameter
// lines list every person changed back. The kill points are drawn over the undo's journal, from
// its first change line to its closing line, and the undo is killed once its journal grew that
// far: however long its start (logon, locks) takes, it is killed amid its persons.
TEST_P(GeneratedNight, UndoKilledAtRandomLeavesEveryPersonWhole) {
  pvt::TempSchema& db = db_;
  Generate(db, 300);
  pvt::TempDir dir;
  const fs::path work = dir.path();
  std::vector<std::string> night = JournalledNight(db, work);
  night.push_back("--force");
  const auto before_all = e2e::DumpAll(db);
  const auto before = ByPerson(before_all);
  db.CloseSide();
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, night).code, 0);
  std::set<std::string> changed;
  for (const auto& [pnr, rows] : ByPerson(e2e::DumpAll(db)))
    if (before.count(pnr) == 0 || before.at(pnr) != rows) changed.insert(pnr);
  db.CloseSide();
  ASSERT_GT(changed.size(), 20u);
  // A whole undo's journal: where its change lines begin and where its closing line begins.
  std::set<std::string> known = JournalsIn(work / "journal");
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, {"undo", e2e::OneJournal(work / "journal", false)}).code,
            0);
  const std::string whole = ReadFile(NewUndoJournal(work / "journal", known));
  const size_t first_change = whole.find('\n') + 1;
  const size_t closing = whole.rfind('\n', whole.size() - 2) + 1;
  ASSERT_LT(first_change, closing);
  std::mt19937 random(29);
  int midway = 0;  // trials killed after some persons were taken back and before others
  for (int trial = 1; trial <= 6; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    known = JournalsIn(work / "journal");
    ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, night).code, 0);
    const std::string journal = NewJournal(work / "journal", known);
    known.insert(journal);
    // Each night's cancellations carry its own stamp.
    const auto after = ByPerson(e2e::DumpAll(db));
    db.CloseSide();
    const std::string params = "params-" + std::to_string(trial);
    const uintmax_t kill_at =
        std::uniform_int_distribution<uintmax_t>(first_change + 1, closing)(random);
    const pid_t pid = pvt::Start(PARVEKCTL_BIN, work, {"undo", journal, "--params", params});
    ASSERT_GT(pid, 0);
    std::string killed;  // the killed undo's journal
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Ended(pid) && std::chrono::steady_clock::now() < deadline) {
      if (killed.empty()) killed = NewUndoJournal(work / "journal", known);
      std::error_code ec;
      if (!killed.empty() && fs::file_size(killed, ec) >= kill_at) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(pid, SIGKILL);
    const pvt::Result undo = pvt::Wait(pid, work);
    if (killed.empty()) killed = NewUndoJournal(work / "journal", known);
    ASSERT_NE(killed, "") << "the undo made no journal\n" << undo.out << undo.err;
    auto now = ByPerson(e2e::DumpAll(db));
    db.CloseSide();
    std::set<std::string> back;
    for (const std::string& pnr : changed) {
      EXPECT_TRUE(now[pnr] == before.at(pnr) || now[pnr] == after.at(pnr)) << pnr;
      if (now[pnr] == before.at(pnr)) back.insert(pnr);
    }
    midway += !back.empty() && back.size() < changed.size();
    // What the killed undo's journal confirms it listed, and what it listed it took back.
    const std::set<std::string> listed_then = ListedPersons(work / params);
    EXPECT_EQ(Without(ConfirmedPersons(killed), listed_then), std::set<std::string>())
        << "confirmed in " << killed << " but not listed in " << params;
    EXPECT_EQ(Without(listed_then, back), std::set<std::string>()) << "listed, not taken back";
    const pvt::Result r = pvt::Run(PARVEKCTL_BIN, work, {"undo", journal, "--params", params});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(e2e::DumpDiff(e2e::DumpAll(db), before_all), "");
    db.CloseSide();
    EXPECT_EQ(ListedPersons(work / params), changed);
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GE(midway, 2) << "too few undos were killed while they ran";
  if (::testing::Test::HasFailure()) dir.Keep();
}

// Whether `pid` is blocked writing to the file `path` now (Linux: the system call it is in, and
// its first argument, the descriptor). False also where the kernel does not tell.
bool BlockedWriting(pid_t pid, const fs::path& path) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long nr = -1;
  std::string fd_hex;
  if (!(in >> nr >> fd_hex) || nr != SYS_write) return false;
  // The descriptor's file itself (fs::equivalent does not compare pipes).
  const std::string fd =
      "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(std::stol(fd_hex, nullptr, 16));
  struct stat written {};
  struct stat named {};
  return ::stat(fd.c_str(), &written) == 0 && ::stat(path.c_str(), &named) == 0 &&
         written.st_dev == named.st_dev && written.st_ino == named.st_ino;
}

// An undo lists a person's day in the parameter file before its journal confirms the person's
// writes. Here the parameter file is a pipe that is full and that nobody reads: the undo commits
// its first person, then stops at writing the person's line, and is killed there. Its journal
// confirms nothing, and its rerun finds the person committed by the killed undo and lists the
// day with the others: a person taken back always reaches a parameter file.
TEST_P(GeneratedNight, UndoKilledBeforeItListedAPersonHasItsRerunListThePerson) {
  pvt::TempSchema& db = db_;
  ASSERT_EQ(db.Exec(e2e::Tok(CommonTypes() + IllDayBefore("8201") + IllDayBefore("8202") +
                             IllDayBefore("8203"))),
            0)
      << db.last_error();
  pvt::TempDir dir;
  const fs::path work = dir.path();
  const std::vector<std::string> journalled = JournalledNight(db, work);
  const auto before_all = e2e::DumpAll(db);
  const auto before = ByPerson(before_all);
  db.CloseSide();
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, work, journalled).code, 0);
  const auto after = ByPerson(e2e::DumpAll(db));
  db.CloseSide();
  const std::string journal = e2e::OneJournal(work / "journal", false);
  const std::set<std::string> known = JournalsIn(work / "journal");

  const fs::path stuck = work / "stuck";
  ASSERT_EQ(::mkfifo(stuck.c_str(), 0600), 0);
  const int reader = ::open(stuck.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const int filler = ::open(stuck.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  while (::write(filler, "x", 1) == 1) {
  }
  ASSERT_EQ(errno, EAGAIN);
  ::close(filler);
  const pid_t pid = pvt::Start(PARVEKCTL_BIN, work, {"undo", journal, "--params", stuck});
  ASSERT_GT(pid, 0);
  bool blocked = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!blocked && !Ended(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    blocked = BlockedWriting(pid, stuck);
  }
  ::kill(pid, SIGKILL);
  const pvt::Result killed = pvt::Wait(pid, work);
  ::close(reader);
  ASSERT_TRUE(blocked) << "the undo never waited on its parameter file\n"
                       << killed.out << killed.err;

  auto now = ByPerson(e2e::DumpAll(db));
  db.CloseSide();
  std::set<std::string> back;
  for (const char* pnr : {"8201", "8202", "8203"}) {
    EXPECT_TRUE(now[pnr] == before.at(pnr) || now[pnr] == after.at(pnr)) << pnr;
    if (now[pnr] == before.at(pnr)) back.insert(pnr);
  }
  EXPECT_EQ(back.size(), 1u) << "the undo commits its first person before it lists it";
  EXPECT_EQ(ConfirmedPersons(NewUndoJournal(work / "journal", known)), std::set<std::string>());

  const pvt::Result r = pvt::Run(PARVEKCTL_BIN, work, {"undo", journal, "--params", "listed"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(e2e::DumpDiff(e2e::DumpAll(db), before_all), "");
  db.CloseSide();
  EXPECT_EQ(ListedPersons(work / "listed"), (std::set<std::string>{"8201", "8202", "8203"}))
      << r.out;
  if (::testing::Test::HasFailure()) dir.Keep();
}

// The second follow-up of a night meets the first in the priority check: the preview's cursors
// must see the night's own earlier writes, which it never commits.
TEST_P(GeneratedNight, PreviewSeesItsOwnEarlierWrites) {
  pvt::TempSchema& db = db_;
  ASSERT_EQ(db.Exec(CommonTypes() + IllDayBefore("7001") + Bch("7001", 1, "080000", 1, "KRA")), 0)
      << db.last_error();
  const bool offered = PreviewOffered(GetParam());
  EXPECT_GT(e2e::ExpectPreviewEqualsNight(db, "XXX", "D", true, offered), offered ? 0 : -1);
}

}  // namespace
