// parvekctl night SETTINGS_FILE VARIANT SWITCH [--day YYYY-MM-DD] [--preview]: the job's own
// night (its program entry, scan and rules) with two options.
//
// --day: a catch-up of a missed night; the scan works on that accounting day instead of the
// database's yesterday (everything else, the clock of the cancellations included, stays).
//
// --preview: the night runs against the real database and nothing of it is kept. Every logon
// is wrapped: the whole night stays in one transaction (commits become no-ops) that is rolled
// back at the end, and cursors read through the session's own connection so that they see the
// night's earlier writes as they would after a real commit. The run log and the parameter file
// are written into a private directory and printed instead of kept.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "run/Driver.h"
#include "scan/TagYday_Scan.h"
#include "tools/civil_date.h"
#include "tools/ctl.h"

namespace {

namespace fs = std::filesystem;
using pvc::Bind;
using pvc::Op;

// ---- what the preview records ------------------------------------------------------------

struct Booking {
  std::string pnr, day, time;  // day 'yyyymmdd', time 'HHMMSS'
  int64_t fkt = 0;
  std::string fcd;
  std::string change;  // for cancellations and deletions
};

struct DayChange {
  std::string pnr, day;
  std::string before, after;  // the three pairs, each "code/value" ('-' for NULL)
};

struct Record {
  std::vector<Booking> inserted, removed;
  std::vector<DayChange> days;                    // in the order of their first update
  std::map<std::string, std::string> day_before;  // pnr|day -> pairs as the scan read them
  std::map<std::string, std::string> fcd_of;      // pnr|day|time|fkt -> the booking's code
  pvc::SessionTools* tools = nullptr;             // of the wrapped session, for the rollback
  int unsupported = 0;  // the code of a backend that cannot show cursors their own writes
};
Record g_rec;

std::string Key(const std::string& pnr, const std::string& day, const std::string& time,
                int64_t fkt) {
  return pnr + "|" + day + "|" + time + "|" + std::to_string(fkt);
}

std::string CellText(const pvc::Cell& c) {
  if (c.null) return "-";
  return c.is_int ? std::to_string(c.num) : c.text;
}

std::string Pairs(const std::string& c1, const std::string& v1, const std::string& c2,
                  const std::string& v2, const std::string& c3, const std::string& v3) {
  const auto one = [](const std::string& c, const std::string& v) {
    return (c.empty() ? "-" : c) + "/" + v;
  };
  return one(c1, v1) + "  " + one(c2, v2) + "  " + one(c3, v3);
}

// Notes what the night reads that the tables need: the accounting-day records before any
// change, and the codes of the bookings the priority check may cancel or delete.
class RecordingCursor final : public pvc::CursorWrapper {
 public:
  RecordingCursor(std::unique_ptr<pvc::Cursor> inner, Op op)
      : pvc::CursorWrapper(std::move(inner)), op_(op) {}
  int Fetch(pvc::Row& row) override {
    const int rc = target().Fetch(row);
    if (rc != pvc::kOk) return rc;
    if ((op_ == Op::TagYday || op_ == Op::TagYdayAt) && row.size() >= 13) {
      const std::string key = CellText(row[0]) + "|" + CellText(row[1]);
      if (g_rec.day_before.count(key) == 0)
        g_rec.day_before[key] =
            Pairs(row[7].null ? "" : row[7].text, CellText(row[8]), row[9].null ? "" : row[9].text,
                  CellText(row[10]), row[11].null ? "" : row[11].text, CellText(row[12]));
    } else if ((op_ == Op::BchTagMld || op_ == Op::BchStdMld) && row.size() >= 7) {
      g_rec.fcd_of[Key(CellText(row[0]), CellText(row[1]), CellText(row[2]), row[3].num)] =
          row[6].null ? "" : row[6].text;
    }
    return rc;
  }

 private:
  Op op_;
};

std::string SqlText(const std::string& v) {
  std::string out = "'";
  for (char c : v) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// The code of a booking the night is about to cancel or delete that no cursor of the night has
// shown (an earlier cancelled booking cleared out of the way), read as it stands before the write.
void LookUpCode(pvc::Session& s, const std::string& pnr, const std::string& day,
                const std::string& time, int64_t fkt) {
  const std::string key = Key(pnr, day, time, fkt);
  if (g_rec.fcd_of.count(key) != 0 || day.size() != 8 || time.size() != 6) return;
  std::vector<pvc::Row> rows;
  const std::string sql = "SELECT BchUhr, BchFcd FROM Krv321Bch WHERE BchPnr = " + SqlText(pnr) +
                          " AND BchVon = '" + day.substr(0, 4) + "-" + day.substr(4, 2) + "-" +
                          day.substr(6, 2) + " 00:00:00' AND BchFkt = " + std::to_string(fkt);
  if (pvc::ToolsOf(s).Query(sql, rows) != pvc::kOk) return;
  const std::string hms = time.substr(0, 2) + ":" + time.substr(2, 2) + ":" + time.substr(4, 2);
  for (const auto& r : rows)
    if (r.size() == 2 && r[0].text.size() >= 19 && r[0].text.substr(11, 8) == hms)
      g_rec.fcd_of[key] = r[1].null ? "" : r[1].text;
}

void NoteWrite(Op op, const std::vector<Bind>& in) {
  switch (op) {
    case Op::BchInsert: {
      Booking b{
          in[0].text, in[1].text, in[2].text.size() >= 14 ? in[2].text.substr(8, 6) : in[2].text,
          in[3].num,  in[4].text, ""};
      g_rec.fcd_of[Key(b.pnr, b.day, b.time, b.fkt)] = b.fcd;
      g_rec.inserted.push_back(b);
      break;
    }
    case Op::BchUpdFkt: {
      const std::string old_key = Key(in[1].text, in[2].text, in[3].text, in[4].num);
      const auto it = g_rec.fcd_of.find(old_key);
      const std::string fcd = it == g_rec.fcd_of.end() ? "?" : it->second;
      g_rec.fcd_of[Key(in[1].text, in[2].text, in[3].text, in[0].num)] = fcd;
      g_rec.removed.push_back(
          {in[1].text, in[2].text, in[3].text, in[4].num, fcd,
           in[0].num == 45 ? "cancelled (45)" : "function " + std::to_string(in[0].num)});
      break;
    }
    case Op::BchDelFkt: {
      const auto it = g_rec.fcd_of.find(Key(in[0].text, in[1].text, in[2].text, in[3].num));
      g_rec.removed.push_back({in[0].text, in[1].text, in[2].text, in[3].num,
                               it == g_rec.fcd_of.end() ? "?" : it->second, "deleted"});
      break;
    }
    case Op::TagUpdate: {
      const std::string pnr = in[6].text, day = in[7].text;
      const std::string after =
          Pairs(in[0].text, std::to_string(in[1].num), in[2].text, std::to_string(in[3].num),
                in[4].text, std::to_string(in[5].num));
      for (auto& d : g_rec.days) {
        if (d.pnr == pnr && d.day == day) {
          d.after = after;
          return;
        }
      }
      const auto it = g_rec.day_before.find(pnr + "|" + day);
      g_rec.days.push_back({pnr, day, it == g_rec.day_before.end() ? "?" : it->second, after});
      break;
    }
    default: break;
  }
}

// The whole night in one transaction: commits are no-ops, every successful write is recorded.
class PreviewSession final : public pvc::SessionWrapper {
 public:
  using pvc::SessionWrapper::SessionWrapper;
  int ExecDynamic(const std::string& text) override {
    // A backend whose cursors cannot see the night's own writes would preview another night.
    if (g_rec.unsupported != 0) return g_rec.unsupported;
    return target().ExecDynamic(text);
  }
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<pvc::Cursor>& out) override {
    std::unique_ptr<pvc::Cursor> c;
    const int rc = target().Open(op, in, c);
    out.reset();
    if (rc == pvc::kOk) out = std::make_unique<RecordingCursor>(std::move(c), op);
    return rc;
  }
  int Write(Op op, const std::vector<Bind>& in) override {
    if (op == Op::BchDelFkt && in.size() == 4)
      LookUpCode(target(), in[0].text, in[1].text, in[2].text, in[3].num);
    if (op == Op::BchUpdFkt && in.size() == 5)
      LookUpCode(target(), in[1].text, in[2].text, in[3].text, in[4].num);
    const int rc = target().Write(op, in);
    if (rc == pvc::kOk) NoteWrite(op, in);
    return rc;
  }
  int Commit() override { return pvc::kOk; }
};

pvc::LogonFn PreviewLogon(pvc::LogonFn inner, const std::string& cwd) {
  return [inner, cwd](const std::string& user, const std::string& password, const std::string& net,
                      std::unique_ptr<pvc::Session>& out) {
    // The night runs in a private directory: a relative SQLite DIR still names the same one.
    std::string where = net;
    if (where.rfind("sqlite:", 0) == 0 && where.size() > 7 && where[7] != '/')
      where = "sqlite:" + cwd + "/" + where.substr(7);
    std::unique_ptr<pvc::Session> s;
    const int rc = inner(user, password, where, s);
    if (rc != pvc::kOk) return rc;
    pvc::SessionTools& tools = pvc::ToolsOf(*s);
    const int own = tools.CursorsSeeOwnWrites(true);
    if (own != pvc::kOk) g_rec.unsupported = own;
    g_rec.tools = &tools;
    out = std::make_unique<PreviewSession>(std::move(s));
    return pvc::kOk;
  };
}

// ---- printing ----------------------------------------------------------------------------

std::string Dashed(const std::string& d) {
  return d.size() == 8 ? d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) : d;
}
std::string Colons(const std::string& t) {
  return t.size() == 6 ? t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2) : t;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void PrintPreview(const std::string& day, const std::vector<std::string>& params,
                  const std::vector<std::string>& log) {
  std::printf("Preview of the night for %s: nothing of it was kept.\n",
              day.empty() ? "the database's yesterday" : Dashed(day).c_str());
  std::printf("\nBookings that would be inserted: %zu\n", g_rec.inserted.size());
  std::printf("%-8s  %-10s  %-8s  %-8s  %s\n", "Person", "Day", "Time", "Function", "Code");
  for (const auto& b : g_rec.inserted)
    std::printf("%-8s  %-10s  %-8s  %-8lld  %s\n", b.pnr.c_str(), Dashed(b.day).c_str(),
                Colons(b.time).c_str(), static_cast<long long>(b.fkt), b.fcd.c_str());
  std::printf("\nBookings that would be cancelled (function 45) or deleted: %zu\n",
              g_rec.removed.size());
  std::printf("%-8s  %-10s  %-8s  %-8s  %-4s  %s\n", "Person", "Day", "Time", "Function", "Code",
              "Change");
  for (const auto& b : g_rec.removed)
    std::printf("%-8s  %-10s  %-8s  %-8lld  %-4s  %s\n", b.pnr.c_str(), Dashed(b.day).c_str(),
                Colons(b.time).c_str(), static_cast<long long>(b.fkt), b.fcd.c_str(),
                b.change.c_str());
  std::vector<const DayChange*> changed;
  for (const auto& d : g_rec.days)
    if (d.before != d.after) changed.push_back(&d);
  std::printf(
      "\nDay records that would change (TagTgb/TagTgs  TagHtv/TagHvs  TagHtn/TagHns): %zu\n",
      changed.size());
  std::printf("%-8s  %-10s  %-6s  %s\n", "Person", "Day", "", "Pairs");
  for (const DayChange* d : changed) {
    std::printf("%-8s  %-10s  %-6s  %s\n", d->pnr.c_str(), Dashed(d->day).c_str(), "before",
                d->before.c_str());
    std::printf("%-8s  %-10s  %-6s  %s\n", "", "", "after", d->after.c_str());
  }
  std::printf("\nParameter lines (parvektgb): %zu\n", params.size());
  for (const auto& l : params) std::printf("%s\n", l.c_str());
  std::printf("\nRun-log entries (parvek.log): %zu\n", log.size());
  for (const auto& l : log) std::printf("%s\n", l.c_str());
}

// ---- the command -------------------------------------------------------------------------

struct NightOptions {
  std::string settings, variant, log_switch, day;
  bool preview = false;
};

// The night in a private directory; its run log and parameter file are read and removed.
int Preview(const NightOptions& o, const std::string& day, std::vector<char*>& argv) {
  char cwd_buf[PATH_MAX];
  if (::getcwd(cwd_buf, sizeof cwd_buf) == nullptr)
    return Ctl_Fail("night: the working directory is unknown");
  const std::string cwd = cwd_buf;
  char tmpl[] = "/tmp/parvekctl-preview-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return Ctl_Fail("night: no private directory for the preview");
  const fs::path work = tmpl;
  std::string settings = o.settings;
  if (settings.empty() || settings[0] != '/') settings = cwd + "/" + settings;
  argv[1] = settings.data();

  pvc::WrapBackends([&cwd](pvc::LogonFn inner) { return PreviewLogon(std::move(inner), cwd); });
  if (::chdir(work.c_str()) != 0) return Ctl_Fail("night: cannot enter " + work.string());
  Run_Main(4, argv.data());
  const int undone = g_rec.tools != nullptr ? g_rec.tools->RollbackAll() : pvc::kOk;
  const int back = ::chdir(cwd.c_str());

  std::string log = ReadAll(work / "parvek.log");
  const std::vector<std::string> params = Lines(ReadAll(work / "parvektgb"));
  std::error_code ignored;
  fs::remove_all(work, ignored);
  if (back != 0) return Ctl_Fail("night: cannot return to " + cwd);
  if (undone != pvc::kOk)
    return Ctl_Fail("night: RC:" + std::to_string(undone) +
                    " the preview's changes could not be rolled back;"
                    " nothing was committed, they end with the connection");
  if (g_rec.unsupported != 0)
    return Ctl_Fail("night: RC:" + std::to_string(g_rec.unsupported) +
                    " this database backend cannot preview a night (its cursors cannot see "
                    "uncommitted writes)");
  // The run's time stamp ("\nDatum: ...\n") is not an entry.
  std::vector<std::string> entries;
  for (const auto& l : Lines(log))
    if (!l.empty() && l.rfind("Datum: ", 0) != 0) entries.push_back(l);
  PrintPreview(day, params, entries);
  return 0;
}

int Night(NightOptions& o) {
  std::string day;
  if (!o.day.empty()) {
    int64_t n = 0;
    if (!ParseCivilDate(o.day, n))
      return Ctl_Fail("night: --day " + o.day + " is no date YYYY-MM-DD");
    if (n >= LocalToday())
      return Ctl_Fail("night: --day " + o.day +
                      " is today or later; a night works on a day that has ended");
    day = o.day.substr(0, 4) + o.day.substr(5, 2) + o.day.substr(8, 2);
    TagYday_SetDay(day.c_str());
  }
  std::string name = "parvek";
  // argv[argc] is a null pointer, as for a program.
  std::vector<char*> argv = {name.data(), o.settings.data(), o.variant.data(), o.log_switch.data(),
                             nullptr};
  if (o.preview) return Preview(o, day, argv);
  return Run_Main(4, argv.data());
}

const CtlCommand kNight(
    "night", "Run the job's night, or preview it (--preview), or catch up a missed day (--day)",
    [](CtlArgs& args) {
      auto o = std::make_shared<NightOptions>();
      args.Text("SETTINGS_FILE", o->settings, "The job's settings file", true)
          .Text("VARIANT", o->variant, "Output variant, as for the job (KRVNT or XXX)", true)
          .Text("SWITCH", o->log_switch, "Logging switch, as for the job (D or X)", true)
          .Text("--day", o->day,
                "Accounting day YYYY-MM-DD instead of the database's yesterday (a missed night)")
          .Flag("--preview", o->preview,
                "Print what the night would do and keep nothing (no bookings, no run log, no "
                "parameter file)")
          .Footer(
              "Without --preview this is the job itself: it writes parvek.log and parvektgb in the "
              "working "
              "directory and commits its changes. A second run for the same day is no no-op (see "
              "the README).");
      return [o] { return Night(*o); };
    });

}  // namespace
