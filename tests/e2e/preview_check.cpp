// The preview of a night against the real night on the same data.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/e2e/e2e_runner.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"
#include "tools/settings_record.h"

#ifndef PARVEKCTL_BIN
#error "PARVEKCTL_BIN must name parvekctl"
#endif

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Delta =
    std::map<std::string, int>;  // a booking "pnr day time fkt fcd" -> rows gained or lost

Lines Split(const std::string& text, char sep) {
  Lines out;
  std::string cur;
  std::istringstream in(text);
  while (std::getline(in, cur, sep)) out.push_back(cur);
  if (!text.empty() && text.back() == sep && sep != '\n') out.push_back("");
  return out;
}

std::string Trim(const std::string& s) {
  const size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? "" : s.substr(0, end + 1);
}
std::string Col(const std::string& line, size_t from, size_t to = std::string::npos) {
  return from >= line.size() ? ""
                             : Trim(line.substr(from, to == std::string::npos ? to : to - from));
}
std::string Null(const std::string& v, const std::string& as) { return v == "<null>" ? as : v; }

const char kBookings[] =
    "select BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchBis, BchVws, BchZwt, BchAbt, BchKst, "
    "BchKtr, BchKrt,"
    " BchAzt, BchVra, BchTxt, BchSta, BchErf, BchTrm, BchDat from Krv321Bch";
const char kDays[] =
    "select TagPnr, TagTag, TagTgb, TagTgs, TagHtv, TagHvs, TagHtn, TagHns from Krv327Tag";

std::string BookingKey(const std::string& pnr, const std::string& day, const std::string& time,
                       const std::string& fkt, const std::string& fcd) {
  return pnr + " " + day + " " + time + " " + fkt + " " + fcd;
}

// Whole rows lost and gained between two reads of the booking table.
Delta BookingDelta(const Lines& before, const Lines& after) {
  Delta d;
  const auto add = [&d](const std::string& row, int n) {
    const Lines c = Split(row, '|');
    d[BookingKey(c[0], c[1].substr(0, 10), c[2].size() >= 19 ? c[2].substr(11, 8) : c[2], c[3],
                 Null(c[4], ""))] += n;
  };
  for (const auto& r : before) add(r, -1);
  for (const auto& r : after) add(r, +1);
  for (auto it = d.begin(); it != d.end();) it = it->second == 0 ? d.erase(it) : std::next(it);
  return d;
}

std::string Pairs(const Lines& c) {
  const auto one = [](const std::string& code, const std::string& v) {
    return Null(code, "-") + "/" + Null(v, "-");
  };
  return one(c[2], c[3]) + "  " + one(c[4], c[5]) + "  " + one(c[6], c[7]);
}

// "pnr day: before -> after" for every day record whose pairs differ.
Lines DayChanges(const Lines& before, const Lines& after) {
  std::map<std::string, std::string> was;
  for (const auto& r : before) {
    const Lines c = Split(r, '|');
    was[c[0] + " " + c[1].substr(0, 10)] = Pairs(c);
  }
  Lines out;
  for (const auto& r : after) {
    const Lines c = Split(r, '|');
    const std::string key = c[0] + " " + c[1].substr(0, 10);
    if (was.count(key) != 0 && was[key] != Pairs(c))
      out.push_back(key + ": " + was[key] + " -> " + Pairs(c));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Entry lines of a run log: not its time stamps, not the empty lines before them.
Lines Entries(const std::string& log) {
  Lines out;
  for (const auto& l : Split(log, '\n'))
    if (!l.empty() && l.rfind("Datum: ", 0) != 0) out.push_back(l);
  return out;
}

struct Preview {
  Delta bookings;
  Lines days, params, log;
};

// Reads the preview's printed tables back into the forms above.
Preview ReadPreview(const std::string& out) {
  Preview p;
  int section = -1;
  bool header = false;
  std::string day_before;
  const char* kHeadings[] = {"Bookings that would be inserted: ",
                             "Bookings that would be cancelled", "Day records that would change",
                             "Parameter lines (parvektgb): ", "Run-log entries (parvek.log): "};
  for (const auto& line : Split(out, '\n')) {
    bool heading = false;
    for (int i = 0; i < 5; ++i) {
      if (line.rfind(kHeadings[i], 0) == 0) {
        section = i;
        header = i < 3;  // the tables have a line of column names
        heading = true;
      }
    }
    if (heading || line.empty()) continue;
    if (header) {
      header = false;
      continue;
    }
    switch (section) {
      case 0:
        p.bookings[BookingKey(Col(line, 0, 8), Col(line, 10, 20), Col(line, 22, 30),
                              Col(line, 32, 40), Col(line, 42))] += 1;
        break;
      case 1: {
        const std::string pnr = Col(line, 0, 8), day = Col(line, 10, 20), time = Col(line, 22, 30),
                          fcd = Col(line, 42, 46), change = Col(line, 48);
        p.bookings[BookingKey(pnr, day, time, Col(line, 32, 40), fcd)] -= 1;
        if (change == "cancelled (45)") p.bookings[BookingKey(pnr, day, time, "45", fcd)] += 1;
        break;
      }
      case 2:
        if (Col(line, 22, 28) == "before")
          day_before = Col(line, 0, 8) + " " + Col(line, 10, 20) + ": " + Col(line, 30) + " -> ";
        else
          p.days.push_back(day_before + Col(line, 30));
        break;
      case 3: p.params.push_back(line); break;
      case 4: p.log.push_back(line); break;
      default: break;
    }
  }
  for (auto it = p.bookings.begin(); it != p.bookings.end();)
    it = it->second == 0 ? p.bookings.erase(it) : std::next(it);
  std::sort(p.days.begin(), p.days.end());
  return p;
}

Lines SortedIf(bool sort, Lines v) {
  if (sort) std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

int ExpectPreviewEqualsNight(pvt::TempSchema& db, const std::string& param2,
                             const std::string& param3, bool unordered, bool offered) {
  pvt::TempDir dir;
  const fs::path work = dir.path();
  std::ofstream(work / "settings.ini") << JobSettings(db.login(), db.pass(), db.net(), db.schema());
  std::ofstream(work / "parvektgb") << "left from an earlier run\n";

  // The preview and the night work on the same day, named to both: the day the data is for.
  const std::string day = AccountingDay(db);
  const auto tables_before = DumpAll(db);
  const Lines bookings_before = db.Lines(kBookings), days_before = db.Lines(kDays);
  db.CloseSide();
  const pvt::Result preview = pvt::Run(
      PARVEKCTL_BIN, work, {"night", "settings.ini", param2, param3, "--preview", "--day", day});
  if (!offered) {
    EXPECT_EQ(preview.code, 2);
    EXPECT_NE(preview.err.find("cannot preview a night"), std::string::npos) << preview.err;
    EXPECT_EQ(preview.out, "");
    EXPECT_EQ(DumpAll(db), tables_before) << "a refused preview changed a table";
    EXPECT_EQ(ReadFile(work / "parvektgb"), "left from an earlier run\n");
    EXPECT_FALSE(fs::exists(work / "parvek.log"));
    return 0;
  }
  if (preview.code != 0) {
    ADD_FAILURE() << "preview failed: " << preview.err;
    dir.Keep();
    return 0;
  }
  EXPECT_EQ(DumpAll(db), tables_before) << "the preview changed a table";
  EXPECT_EQ(ReadFile(work / "parvektgb"), "left from an earlier run\n");
  EXPECT_FALSE(fs::exists(work / "parvek.log"));
  db.CloseSide();

  EXPECT_EQ(
      pvt::Run(PARVEKCTL_BIN, work, {"night", "settings.ini", param2, param3, "--day", day}).code,
      0);
  const Preview p = ReadPreview(preview.out);
  EXPECT_EQ(p.bookings, BookingDelta(bookings_before, db.Lines(kBookings)));
  EXPECT_EQ(p.days, DayChanges(days_before, db.Lines(kDays)));
  EXPECT_EQ(SortedIf(unordered, p.params),
            SortedIf(unordered, Split(ReadFile(work / "parvektgb"), '\n')));
  EXPECT_EQ(SortedIf(unordered, p.log),
            SortedIf(unordered, Entries(ReadFile(work / "parvek.log"))));
  if (::testing::Test::HasFailure()) dir.Keep();
  int changes = static_cast<int>(p.days.size());
  for (const auto& [booking, n] : p.bookings) changes += n < 0 ? -n : n;
  return changes;
}

}  // namespace e2e
