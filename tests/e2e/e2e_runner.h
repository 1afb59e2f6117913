// End-to-end runner: a case is its rows before, its command line, and the expected parameter
// file, run-log lines, debug output and rows after. The runner builds a fresh schema on the
// backend, writes an enciphered settings file pointing at it, runs the real program in a
// temporary working directory and compares.
//
// Texts of a case may hold tokens, replaced before use:
//   {Y0}..{Y4}  the accounting day (yesterday) and the days before it, as yyyymmdd
//   {D0}..{D4}  the same days as YYYY-MM-DD
//   {P}         the accounting day as written in the parameter file, dd.mm.yyyy
//   {S20}       the schema name padded to 20 characters
//   {LOGIN} {NET}  the settings' login and NET8 (replaced by the test runner)
#pragma once

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// Fixture SQL helpers; `k` counts days before the accounting day (0 is the accounting day).
// A message type; `fcdfcd`, `flg` and `pri` as SQL literals ("NULL" allowed).
std::string Fcd(const std::string& num, int typ, int zwt, int std_value, int sol,
                const std::string& pri, const std::string& gpu, const std::string& fcdfcd,
                const std::string& flg, int sta = 0);
// A day record with its day-evaluation row (TgbZtr 1); an empty `tgb` leaves the day code NULL.
std::string Day(const std::string& pnr, int k, const std::string& tgb,
                const std::string& from = "070000", const std::string& to = "160000",
                int sol = 480);
// The accounting day's empty placeholder, with target time `sol`.
std::string Placeholder(const std::string& pnr, int sol = 480);
// A booking at day k, time hhmmss; an empty `fcd` leaves the code NULL.
std::string Bch(const std::string& pnr, int k, const std::string& hhmmss, int fkt,
                const std::string& fcd);
// A working-time plan, valid from 2000 on without end.
std::string Azv(const std::string& num, int sol, int so2, int vhs, int hso, int hs2, int htv);
// Its assignment to `pnr` on the accounting day.
std::string Ztg(const std::string& pnr, const std::string& num);

struct Case {
  std::string name;
  std::string rows;  // fixture SQL
  std::string param2 = "XXX";
  std::string param3 = "D";
  bool debug = false;            // PARVEK_DBG defined
  std::string tgb;               // expected parameter file
  std::vector<std::string> log;  // expected run-log lines after the time stamp (without "\n")
  std::vector<std::pair<std::string, std::vector<std::string>>> after;  // SELECT, expected lines
  std::string stdout_text;  // expected debug output when `debug` (empty: not compared)
  // Several persons: the cursor sets no order, so parameter lines and log lines are compared
  // as sorted lists.
  bool unordered = false;
  // The settings name a password the server refuses (run only on backends that check one).
  bool wrong_password = false;
  // Texts standard error must hold; the password it must never show. Empty: no output there.
  std::vector<std::string> stderr_has;
};

// The rows of the accounting day that most cases look at.
std::string BookingsOfDay(int k);  // BchPnr|BchUhr|BchFkt|BchFcd|BchErf, ordered
std::string DayRecords(int k);     // TagPnr|TagTgb|TagTgs|TagHtv|TagHvs|TagHtn|TagHns

std::string Tok(const std::string& text, const std::string& schema = "");

// Moves every day of the helpers and tokens `days` further back: the accounting day becomes
// the day `days` before yesterday (a missed night). 0 restores the normal days.
void SetDaysBack(int days);

// Test output names a case by its name.
inline void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

}  // namespace e2e

namespace pvt {
class TempSchema;
}
namespace e2e {

// Runs parvekctl's preview of the night on `db`, then the real night (parvekctl night: the job's
// own night), both on the accounting day of the data (--day AccountingDay), and expects the
// preview's tables (bookings inserted, cancelled or deleted, day records changed, parameter
// lines, run-log entries) to equal what the night did, as read from the tables before and after
// it; the preview itself must leave every table, the parameter file and the run log as they were.
// `unordered`: the parameter lines and log entries are compared as sorted lists. Returns the
// number of bookings and day records the preview shows changed.
// Not `offered`: the backend cannot preview, and the preview must refuse (exit code 2, the
// reason on standard error) and change nothing; returns 0.
int ExpectPreviewEqualsNight(pvt::TempSchema& db, const std::string& param2,
                             const std::string& param3, bool unordered, bool offered = true);

// The accounting day the data of `db` was written for, as YYYY-MM-DD: the day of its latest day
// record (the placeholders, in every case and generated population); with no day record,
// yesterday by the clock. A test that compares two runs reads it once and names it to both
// (night --day), so that they work on the same day even when midnight falls between them.
std::string AccountingDay(pvt::TempSchema& db);

// Every row of the six tables, per table, sorted.
std::map<std::string, std::vector<std::string>> DumpAll(pvt::TempSchema& db);
// The rows of `want` missing from `got` ("TABLE - row") and the rows only in `got` ("TABLE + row");
// empty when they are equal.
std::string DumpDiff(const std::map<std::string, std::vector<std::string>>& got,
                     const std::map<std::string, std::vector<std::string>>& want);

// Runs parvekctl's night with a journal on `db` (on the accounting day of the data), undoes it (every table must be as before the
// night) and undoes the undo (every table must be as after the night). Returns how many changes
// the undo took back.
int ExpectUndoRestores(pvt::TempSchema& db, const std::string& param2, const std::string& param3);
// The one journal file in `dir` of a night (`undo` false) or of an undo.
std::string OneJournal(const std::filesystem::path& dir, bool undo);

}  // namespace e2e
