// parvekctl report JOURNAL|FOLDER... [--log RUNLOG] -o FILE: the night's report for the payroll
// office, one self-contained HTML page (tools/report.h).
//
// The night reported is the latest of the journals given (a folder gives its journals
// "parvek-*.journal"); the others of the same database give the nights over time. Undo journals,
// and journals of other databases, are left out and named at the page's foot. The page is
// written beside FILE with mode 0600 (it holds what the journals hold) and renamed over it.
//
// Exit codes: 0 written; 2 a wrong command line, a file named that is no night's journal, an
// unreadable run log, or a page that could not be written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "run/ground/CivilDate.h"
#include "run/ground/RunControl.h"
#include "tools/ctl.h"
#include "tools/ctl_files.h"
#include "tools/report.h"

namespace {

namespace fs = std::filesystem;

struct ReportOptions {
  std::vector<std::string> inputs;
  std::string log, output;
};

struct Candidate {
  std::string path;
  JournalHeader header;
};

// The journals named: files as given, folders' "parvek-*.journal" files in name order.
std::vector<std::string> Files(const std::vector<std::string>& inputs) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const std::string& in : inputs) {
    std::vector<std::string> here;
    std::error_code ec;
    if (fs::is_directory(in, ec)) {
      for (const auto& e : fs::directory_iterator(in, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("parvek-", 0) == 0 && name.size() > 8 &&
            name.compare(name.size() - 8, 8, ".journal") == 0 && e.is_regular_file(ec))
          here.push_back(e.path().string());
      }
      std::sort(here.begin(), here.end());
    } else {
      here.push_back(in);
    }
    for (const std::string& f : here)
      if (seen.insert(fs::weakly_canonical(f, ec).string()).second) out.push_back(f);
  }
  return out;
}

bool SameDatabase(const JournalHeader& a, const JournalHeader& b) {
  if (!a.identity.empty() && !b.identity.empty()) return a.identity == b.identity;
  return a.schema == b.schema && a.net8 == b.net8;
}

// Writes the page whole beside `path` (mode 0600: it holds what the journals hold), synced, and
// renames it over `path`.
bool WritePage(const std::string& path, const std::string& text, std::string& why) {
  if (Ctl_ReplaceFile(path, text, 0600, true)) return true;
  why = "cannot write " + path + ": " + std::strerror(errno);
  return false;
}

int Report(const ReportOptions& o) {
  if (o.output.empty()) return Ctl_Fail("report: -o FILE is required (the page to write)");
  if (!o.log.empty()) {
    std::string why;
    std::FILE* in = Ctl_OpenRunLog(o.log, why);
    if (in == nullptr) return Ctl_Fail("report: cannot read the run log " + o.log + ": " + why);
    std::fclose(in);
  }
  ReportSources sources;
  sources.log = o.log;
  std::vector<Candidate> nights;
  const std::set<std::string> named(o.inputs.begin(), o.inputs.end());
  for (const std::string& f : Files(o.inputs)) {
    Candidate c{f, {}};
    std::string why;
    if (!journal::ReadHeader(f, c.header, why)) {
      // A file named is expected to be a journal; one found in a folder may be anything.
      if (named.count(f)) return Ctl_Fail("report: " + why);
      sources.left_out.push_back(f + ": " + why);
    } else if (c.header.kind != journal::kNight) {
      sources.left_out.push_back(f + ": an undo's journal");
    } else {
      nights.push_back(std::move(c));
    }
  }
  if (nights.empty()) return Ctl_Fail("report: no night's journal among the files given");
  // Oldest first: by the start in microseconds where both have it, else by the stamp.
  std::stable_sort(nights.begin(), nights.end(), [](const Candidate& a, const Candidate& b) {
    if (a.header.started_us != 0 && b.header.started_us != 0)
      return a.header.started_us < b.header.started_us;
    return a.header.start < b.header.start;
  });
  const Candidate& latest = nights.back();
  ReportNight night;
  std::string why;
  if (!Report_ReadNight(latest.path, night, why)) return Ctl_Fail("report: " + why);
  Report_Judge(night, o.log);
  std::vector<ReportPoint> series;
  for (const Candidate& c : nights) {
    if (&c == &latest) {
      series.push_back(night.point);
    } else if (!SameDatabase(c.header, latest.header)) {
      sources.left_out.push_back(c.path + ": another database (" + c.header.net8 + ", schema " +
                                 c.header.schema + ")");
    } else if (ReportPoint p; Report_ReadPoint(c.path, p, why)) {
      series.push_back(std::move(p));
    } else {
      sources.left_out.push_back(c.path + ": " + why);
    }
  }
  for (const ReportPoint& p : series) sources.journals.push_back(p.file);
  sources.generated = Run_LocalTime(std::time(nullptr), "%Y-%m-%d %H:%M");
  if (!WritePage(o.output, Report_Html(night, series, sources), why)) return Ctl_Fail("report: " + why);
  std::printf("%s: the night of %s, %zu persons touched: %s\n", o.output.c_str(),
              Dashed(night.point.header.day).c_str(), night.touched.size(),
              night.verdict.Line().c_str());
  return 0;
}

const CtlCommand kReport(
    "report", "Write the night's report, one HTML page, from its journal (and earlier ones)",
    [](CtlArgs& args) {
      auto o = std::make_shared<ReportOptions>();
      args.Texts("JOURNAL", o->inputs,
                 "Journals of nights (parvekctl night --journal), or folders of them: the latest "
                 "is reported, all of its database are drawn over time",
                 true)
          .Text("-o,--output", o->output, "The HTML page to write (mode 0600)", true)
          .Text("--log", o->log,
                "The night's run log (parvek.log): the outcome as log-check judges its run")
          .Footer("The page is self-contained (styles and script inline, nothing fetched): it "
                  "opens from a mail attachment or a file share. See the guide operating.md.");
      return [o] { return Report(*o); };
    });

}  // namespace
