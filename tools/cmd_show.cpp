// parvekctl show NET8 SCHEMA [DAYS]: the day records and bookings of the last DAYS days before
// today (default 3) as tables, to see what a night's run has changed.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "client/tool_queries.h"
#include "run/ground/CivilDate.h"
#include "tools/ctl.h"

namespace {

// 'YYYY-MM-DD 00:00:00' of today (local clock) shifted by `days`.
std::string Midnight(int days) { return CivilText(LocalToday() + days) + " 00:00:00"; }

std::string Val(const pvc::Cell& c) {
  if (c.null) return "";
  return c.is_int ? std::to_string(c.num) : c.text;
}
// The date and the time of a stored 'YYYY-MM-DD HH:MM:SS' value.
std::string DatePart(const pvc::Cell& c) { return Val(c).substr(0, 10); }
std::string TimePart(const pvc::Cell& c) {
  const std::string v = Val(c);
  return v.size() >= 19 ? v.substr(11, 8) : v;
}
// A code/value pair of the day record, or "-" when the code is empty.
std::string Pair(const pvc::Cell& code, const pvc::Cell& value) {
  const std::string c = Val(code);
  return c.empty() ? "-" : c + " " + (value.null ? "0" : Val(value));
}

const char* FunctionName(int64_t fkt) {
  switch (fkt) {
    case 1:
    case 2:
    case 3: return "day message";
    case 45: return "cancelled";
    case 0:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25:
    case 29:
    case 30: return "hour message";
    default: return "booking";
  }
}

void ShowDays(const std::vector<pvc::Row>& rows) {
  std::printf("%-8s  %-10s  %-24s  %6s  %-9s  %-9s  %-9s\n", "Person", "Day", "Time frame",
              "Target", "TagTgb", "TagHtv", "TagHtn");
  for (const auto& r : rows) {
    std::string frame = TimePart(r[3]).substr(0, 5) + "-" + TimePart(r[5]).substr(0, 5);
    if (DatePart(r[2]) == DatePart(r[4]) && TimePart(r[3]) == "12:00:00" &&
        TimePart(r[5]) == "12:00:00")
      frame += " placeholder";
    std::printf("%-8s  %-10s  %-24s  %6s  %-9s  %-9s  %-9s\n", Val(r[0]).c_str(),
                DatePart(r[1]).c_str(), frame.c_str(), Val(r[6]).c_str(), Pair(r[7], r[8]).c_str(),
                Pair(r[9], r[10]).c_str(), Pair(r[11], r[12]).c_str());
  }
  if (rows.empty()) std::printf("(none)\n");
}

void ShowBookings(const std::vector<pvc::Row>& rows) {
  std::printf("%-8s  %-10s  %-8s  %-17s  %-4s  %-14s  %s\n", "Person", "Day", "Time", "Function",
              "Code", "Recorded by", "Changed at");
  for (const auto& r : rows) {
    const int64_t fkt = r[3].null ? 0 : r[3].num;
    const std::string function = std::to_string(fkt) + " " + FunctionName(fkt);
    std::printf("%-8s  %-10s  %-8s  %-17s  %-4s  %-14s  %s\n", Val(r[0]).c_str(),
                DatePart(r[1]).c_str(), TimePart(r[2]).c_str(), function.c_str(), Val(r[4]).c_str(),
                Val(r[5]).c_str(), Val(r[6]).c_str());
  }
  if (rows.empty()) std::printf("(none)\n");
}

struct ShowOptions {
  CtlTarget target;
  int days = 3;
};

int Show(ShowOptions& o) {
  if (const int rc = Ctl_ResolveTarget("show", o.target, CtlOperands::kNetAndSchema)) return rc;
  const int days = o.days;
  std::unique_ptr<pvc::Session> s;
  std::string why;
  int rc = Ctl_OpenSchema(o.target, s, why);
  if (rc != pvc::kOk) return Ctl_Fail("show: RC:" + std::to_string(rc) + " " + why);
  const std::string from = Midnight(-days);
  const std::string to = Midnight(0);
  std::vector<pvc::Row> tag_rows, bch_rows;
  rc = pvc::ToolsOf(*s).Query(pvc::ShowDaysQuery(from, to), tag_rows);
  if (rc == pvc::kOk) rc = pvc::ToolsOf(*s).Query(pvc::ShowBookingsQuery(from, to), bch_rows);
  if (rc != pvc::kOk)
    return Ctl_Fail("show: reading failed, RC:" + std::to_string(rc) + " " +
                    s->LastError().message);

  std::printf("Day records from %s to %s (pairs: code and target value)\n",
              from.substr(0, 10).c_str(), Midnight(-1).substr(0, 10).c_str());
  ShowDays(tag_rows);
  std::printf("\nBookings of those days\n");
  ShowBookings(bch_rows);
  return 0;
}

const CtlCommand kShow(
    "show", "Print the day records and bookings of the last DAYS days", [](CtlArgs& args) {
      auto o = std::make_shared<ShowOptions>();
      Ctl_AddTarget(args, o->target, CtlOperands::kNetAndSchema);
      args.Number("DAYS", o->days, 1, 3660, "Days before today to show (1 to 3660, default 3)")
          .Number("--days", o->days, 1, 3660,
                  "The same as DAYS (with --settings, which takes the place of NET8 SCHEMA)")
          .Excludes("--days", "DAYS");
      return [o] { return Show(*o); };
    });

}  // namespace
