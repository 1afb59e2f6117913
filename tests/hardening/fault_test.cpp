// Database faults: the job's test build makes the N-th database call of a night fail with a
// chosen code, for every call of a night that touches every statement kind. Each run must
// exit with 0, log the code wherever the rules log it, go on with the next item, and leave a
// database in which every row is either as it was or as a fault-free night leaves it (a
// booking without its day update being the one half-done state that commit-per-write allows),
// every other person's day done as in the fault-free night, and the file sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/e2e/e2e_runner.h"
#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"

namespace {

namespace fs = std::filesystem;
using e2e::Bch;
using e2e::Day;
using e2e::Fcd;
using e2e::Placeholder;
using e2e::Ztg;

// PA: an illness carried over that cancels a lower-ranking booking on the accounting day,
//     where an older cancelled booking at the same key is deleted first;
// PB: an hour message carried over; PC: a plain illness carried over;
// PD: on leave the day before (no follow-up, the search stops there), ill before that;
// PE: ill the day before, but a higher-ranking special leave on the accounting day blocks it.
// PD and PE get nothing in the fault-free night: a failed read that let the search walk on, or
// let a competing booking be passed over, would book a follow-up there.
std::string Rows() {
  return hard::IllTypes() + Fcd("SCH", 1, 1, 0, 0, "30", "0", "NULL", "NULL") +
         Fcd("STD", 2, 3, 0, 0, "40", "0", "NULL", "'STF'") +
         Fcd("STF", 2, 3, 0, 0, "40", "0", "NULL", "NULL") +
         Fcd("URL", 1, 1, 0, 0, "10", "0", "0", "NULL") +
         Fcd("SUR", 1, 1, 0, 0, "10", "0", "NULL", "NULL") + hard::IllPerson("PA") +
         Bch("PA", 0, "000000", 1, "SCH") + Bch("PA", 0, "000000", 45, "SCH") + Day("PB", 1, "") +
         Bch("PB", 1, "100000", 23, "STD") + Placeholder("PB") + Ztg("PB", "VZ40") +
         hard::IllPerson("PC") + Day("PD", 2, "KRA") + Bch("PD", 2, "000000", 1, "KRA") +
         Day("PD", 1, "URL") + Bch("PD", 1, "000000", 1, "URL") + Placeholder("PD") +
         Ztg("PD", "VZ40") + hard::IllPerson("PE") + Bch("PE", 0, "000000", 1, "SUR");
}

const std::vector<std::string> kPersons{"PA", "PB", "PC", "PD", "PE"};

struct Call {
  long n = 0;
  std::string kind, op, pnr, day;
  int rc = 0;
};

std::vector<Call> ReadTrace(const std::string& path) {
  std::vector<Call> calls;
  std::istringstream in(hard::ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    Call c;
    std::string rc;
    f >> c.n >> c.kind >> c.op >> c.pnr >> c.day >> rc;
    c.rc = rc.size() > 1 ? std::stoi(rc.substr(1)) : 0;
    calls.push_back(c);
  }
  return calls;
}

struct PersonState {
  std::vector<std::string> bookings;  // all of the person's bookings
  std::string codes;                  // the accounting day's day codes
  bool operator==(const PersonState& o) const { return bookings == o.bookings && codes == o.codes; }
};

std::ostream& operator<<(std::ostream& os, const PersonState& s) {
  for (const auto& b : s.bookings) os << b << "; ";
  return os << "codes " << s.codes;
}

PersonState StateOf(pvt::TempSchema& db, const std::string& pnr) {
  PersonState s;
  s.bookings = db.Lines("select BchVon, BchUhr, BchFkt, BchFcd from Krv321Bch where BchPnr = '" +
                        pnr + "' order by 1, 2, 3, 4");
  const auto tag = db.Lines("select TagTgb, TagHtv, TagHtn from Krv327Tag where TagPnr = '" + pnr +
                            "' and TagTag = " + pvt::Ts(pvt::LocalDay(-1)));
  s.codes = tag.empty() ? "<none>" : tag[0];
  db.CloseSide();
  return s;
}

std::map<std::string, PersonState> States(pvt::TempSchema& db) {
  std::map<std::string, PersonState> m;
  for (const auto& p : kPersons) m[p] = StateOf(db, p);
  return m;
}

// Whether the failed call's code reaches the run log. Every failed read and write is logged;
// a lost connection always (it ends the night with an entry). Only the codes of savepoints,
// rollbacks and the commit after each reference-day booking are not looked at.
bool CodeIsLogged(const std::vector<Call>& calls, std::size_t i, int code) {
  const Call& c = calls[i];
  if (code == -3114) return true;
  if (c.kind == "Write" || c.kind == "Open" || c.kind == "Fetch" || c.kind == "Select") return true;
  if (c.kind == "Commit") return i > 0 && calls[i - 1].kind == "Write";  // the write's own commit
  return false;
}

bool IsRead(const Call& c) { return c.kind == "Open" || c.kind == "Fetch" || c.kind == "Select"; }

// The person whose day the failed call belongs to: the last person number named up to it.
std::string CurrentPerson(const std::vector<Call>& calls, std::size_t i) {
  for (std::size_t k = i + 1; k-- > 0;)
    if (calls[k].pnr != "-") return calls[k].pnr;
  return "";
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(FaultMatrix, EveryCallOfANightFailsOnce) {
  const pvt::Backend b = pvt::BackendNamed("sqlite");
  hard::Night night;
  std::string why;
  ASSERT_EQ(night.Setup(b, Rows(), why), 0) << why;
  const std::string tmpl = night.work() / "template.db";
  fs::copy_file(night.file(), tmpl);
  const auto initial = States(night.db());

  // The fault-free night, traced.
  const std::string trace = night.work() / "trace.txt";
  hard::Result r = night.RunJob(PARVEK_TESTJOB_BIN, {{"PARVEK_TEST_TRACE", trace}});
  ASSERT_EQ(r.code, 0);
  const std::vector<Call> calls = ReadTrace(trace);
  const auto clean = States(night.db());
  ASSERT_GT(calls.size(), 30u);
  std::set<std::string> kinds;
  for (const auto& c : calls) kinds.insert(c.kind + " " + c.op);
  for (const char* k :
       {"Dynamic -", "Open TagYday", "Fetch TagYday", "Open TagPrev", "Fetch TagPrev",
        "Select BchCountTagMld", "Select BchCountStdMld", "Select FcdRead", "Select FcdReadFlg",
        "Open BchTagMld", "Fetch BchTagMld", "Open BchStdMld", "Fetch BchStdMld", "Select AzvRead",
        "Write BchInsert", "Write TagUpdate", "Write BchUpdFkt", "Write BchDelFkt", "Commit -"})
    EXPECT_EQ(kinds.count(k), 1u) << "the night makes no call " << k;
  EXPECT_EQ(clean.at("PA").codes, "KRF|<null>|<null>");
  EXPECT_EQ(clean.at("PB").codes, "<null>|STF|<null>");
  EXPECT_EQ(clean.at("PC").codes, "KRF|<null>|<null>");
  EXPECT_EQ(clean.at("PD"), initial.at("PD"));
  EXPECT_EQ(clean.at("PE"), initial.at("PE"));
  const std::vector<std::string> clean_tgb =
      hard::Lines(hard::ReadFile(night.work() / "parvektgb"));
  ASSERT_EQ(clean_tgb.size(), 3u);

  int cases = 0, logged_cases = 0, read_cases = 0, extra_writes = 0, lost_cases = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    std::vector<int> codes{-54, -3114};
    if (calls[i].kind == "Write") codes.push_back(-1);
    for (const int code : codes) {
      const Call& c = calls[i];
      SCOPED_TRACE("call " + std::to_string(c.n) + " " + c.kind + " " + c.op + " " + c.pnr +
                   " fails with " + std::to_string(code));
      ++cases;
      fs::remove(night.file() + "-wal");
      fs::remove(night.file() + "-shm");
      fs::copy_file(tmpl, night.file(), fs::copy_options::overwrite_existing);
      fs::remove(night.work() / "parvek.log");
      const std::string faulty_trace = night.work() / "faulty-trace.txt";
      fs::remove(faulty_trace);
      r = night.RunJob(PARVEK_TESTJOB_BIN,
                       {{"PARVEK_TEST_FAULTS", std::to_string(c.n) + ":" + std::to_string(code)},
                        {"PARVEK_TEST_TRACE", faulty_trace}});
      ASSERT_EQ(r.exited, 1) << "signal " << r.signal;
      EXPECT_EQ(r.code, 0);
      const std::string log = night.Log();
      const std::string rc_text = "RC:" + std::to_string(code);

      if (c.kind == "Dynamic") {
        EXPECT_EQ(r.err,
                  "parvek: Fehler(DB-Connect)! " + rc_text + " Net:" + night.db().net() + "\n");
        EXPECT_EQ(States(night.db()), initial);
        continue;
      }
      EXPECT_EQ(r.err, "");
      if (CodeIsLogged(calls, i, code)) {
        ++logged_cases;
        bool found = false;
        for (const auto& line : hard::Lines(log)) {
          const std::size_t at = line.find(rc_text);
          const std::size_t end = at + rc_text.size();
          if (line.rfind("Fehler(", 0) == 0 && at != std::string::npos &&
              (end == line.size() || line[end] == ' '))
            found = true;
          // A cancellation that meets an older cancelled booking (-1) deletes that one first.
          if (c.op == "BchUpdFkt" && code == -1 &&
              line.rfind("Info: BchSatz(Storno) gelöscht", 0) == 0)
            found = true;
        }
        EXPECT_TRUE(found) << log;
      }
      EXPECT_EQ(hard::IntegrityCheck(night.file()), "ok");

      const auto after = States(night.db());
      const std::string current = CurrentPerson(calls, i);
      const bool lost = code == -3114;
      const bool scan_ends = c.op == "TagYday" || lost;
      const bool before_first_person =
          std::none_of(calls.begin(), calls.begin() + static_cast<long>(i) + 1,
                       [](const Call& k) { return k.op == "TagPrev"; });
      if (lost) {
        // The night ends at the lost connection: no call after it, one entry naming the person.
        ++lost_cases;
        // (The rollback to its savepoint of the write that met it may follow.)
        std::vector<Call> faulty = ReadTrace(faulty_trace);
        while (!faulty.empty() && faulty.back().kind == "Rollback" && faulty.back().n > c.n)
          faulty.pop_back();
        ASSERT_FALSE(faulty.empty());
        EXPECT_EQ(faulty.back().n, c.n) << "calls after the lost connection";
        if (c.op != "TagYday" && !before_first_person) {
          EXPECT_EQ(hard::CountLines(log,
                                     "Fehler(DB-Verbindung): Verbindung verloren, Ausgang der "
                                     "letzten Änderung unbekannt, Lauf beendet! RC:-3114 Pnr:" +
                                         current + " Tag:" + pvt::LocalDay(-1)),
                    1)
              << log;
        }
      }

      // A write that failed, in its statement or in its commit, left nothing behind: the log
      // never calls a change failed that is in the database. In this night each person's day
      // gets one follow-up booking (KRF or STF) and one day update.
      const Call& write =
          c.kind == "Commit" && i > 0 && calls[i - 1].kind == "Write" ? calls[i - 1] : c;
      if (write.kind == "Write" && !(write.op == "BchUpdFkt" && code == -1) && !current.empty()) {
        const PersonState& got = after.at(current);
        if (write.op == "BchInsert") {
          for (const auto& row : got.bookings)
            EXPECT_TRUE(row.find("|KRF") == std::string::npos &&
                        row.find("|STF") == std::string::npos)
                << "failed insertion committed: " << row;
          // A booking that failed with an error leaves the day record alone; one that exists
          // already (-1) is written into the day record as in the fault-free night.
          EXPECT_EQ(got.codes, (code == -1 ? clean : initial).at(current).codes)
              << "day record after the insert";
        } else if (write.op == "TagUpdate") {
          EXPECT_EQ(got.codes, initial.at(current).codes) << "failed day update committed";
        } else if (write.op == "BchUpdFkt" || write.op == "BchDelFkt") {
          // The competing booking is not cancelled (its first update failed, or the deletion
          // that would make room for it did).
          bool competing = false;
          for (const auto& row : got.bookings)
            competing = competing || row.find("|1|SCH") != std::string::npos;
          EXPECT_TRUE(competing) << "failed cancellation committed";
        }
      }
      for (const auto& p : kPersons) {
        const PersonState& got = after.at(p);
        if (p != current && !scan_ends) {
          EXPECT_EQ(got, clean.at(p)) << p << " is not the person whose call failed";
          continue;
        }
        // Every booking is one the night started with or one the fault-free night leaves (a
        // failed read never books a follow-up the fault-free night would not book).
        for (const auto& row : got.bookings) {
          const bool known =
              Contains(initial.at(p).bookings, row) || Contains(clean.at(p).bookings, row);
          EXPECT_TRUE(known) << p << " has an unexpected booking " << row;
          if (!known && IsRead(c)) ++extra_writes;
        }
        // Nothing committed before the failed call is lost: a person finished before it is
        // done as in the fault-free night (where the scan ended early).
        bool finished_before = p != current;
        bool seen = false;
        for (std::size_t k = 0; k < i; ++k)
          if (calls[k].pnr == p) seen = true;
        finished_before = finished_before && seen;
        for (std::size_t k = i; k < calls.size() && finished_before; ++k)
          if (calls[k].pnr == p) finished_before = false;
        if (finished_before) {
          EXPECT_EQ(got, clean.at(p)) << p << " was finished before the failed call";
        }
        // The day codes are those of the start or of the fault-free night, pair by pair.
        const bool codes_known = got.codes == initial.at(p).codes || got.codes == clean.at(p).codes;
        EXPECT_TRUE(codes_known) << p << " codes " << got.codes;
        if (!codes_known && IsRead(c)) ++extra_writes;
      }
      if (IsRead(c)) ++read_cases;
      // Every parameter line is one of the fault-free night; after a lost connection the lines
      // of the persons finished before it are kept.
      const std::vector<std::string> tgb = hard::Lines(hard::ReadFile(night.work() / "parvektgb"));
      for (const auto& line : tgb)
        EXPECT_TRUE(Contains(clean_tgb, line)) << "parameter line " << line;
      for (const auto& line : clean_tgb) {
        const std::string p = line.substr(0, line.find(' '));
        bool seen = false, after_fault = false;
        for (std::size_t k = 0; k < calls.size(); ++k)
          if (calls[k].pnr == p) (k < i ? seen : after_fault) = true;
        if (seen && !after_fault && p != current) {
          EXPECT_TRUE(Contains(tgb, line)) << "lost parameter line " << line;
        }
      }
    }
  }
  std::printf(
      "[ figures ] fault matrix: %zu calls in the fault-free night, %d faulty runs, %d with a "
      "logged code, "
      "%d with a lost connection; %d runs with a failed read, %d of them with a write the "
      "fault-free "
      "night does not make\n",
      calls.size(), cases, logged_cases, lost_cases, read_cases, extra_writes);
}

}  // namespace
