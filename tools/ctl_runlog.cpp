#include "tools/ctl_runlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "run/ground/CivilDate.h"

namespace {

bool Starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// "Datum: DD.MM.YYYY  Uhrzeit: HH:MM:SS" exactly; the stamp's parts on success.
bool ReadStamp(const std::string& line, std::tm& t) {
  static const char kForm[] = "Datum: dd.dd.dddd  Uhrzeit: dd:dd:dd";
  if (line.size() != sizeof kForm - 1) return false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (kForm[i] == 'd' ? (line[i] < '0' || line[i] > '9') : line[i] != kForm[i]) return false;
  }
  const auto num = [&](size_t pos, size_t n) { return std::atoi(line.substr(pos, n).c_str()); };
  t = std::tm{};
  t.tm_mday = num(7, 2);
  t.tm_mon = num(10, 2) - 1;
  t.tm_year = num(13, 4) - 1900;
  t.tm_hour = num(28, 2);
  t.tm_min = num(31, 2);
  t.tm_sec = num(34, 2);
  t.tm_isdst = -1;
  return true;
}

}  // namespace

int64_t CtlRun::AccountingDay() const {
  if (catch_up_day.size() == 8) {
    return DaysFromCivil(std::atoi(catch_up_day.substr(0, 4).c_str()),
                         std::atoi(catch_up_day.substr(4, 2).c_str()),
                         std::atoi(catch_up_day.substr(6, 2).c_str()));
  }
  int64_t day = 0;
  ParseCivilDate(stamp.substr(0, 10), day);
  return day - 1;
}

namespace {

// Reads one line into `line` (at most kMaxLine bytes of it kept, the rest skipped); false at the
// end of the input.
constexpr std::size_t kMaxLine = 4096;
bool ReadLine(std::FILE* in, std::string& line) {
  line.clear();
  int c = 0;
  bool any = false;
  while ((c = std::getc(in)) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (line.size() < kMaxLine) line.push_back(static_cast<char>(c));
  }
  return any;
}

}  // namespace

void Ctl_EachRun(std::FILE* in, const std::function<void(const CtlRun&)>& done) {
  CtlRun r;
  bool in_run = false;
  for (std::string line; ReadLine(in, line);) {
    std::tm t{};
    if (ReadStamp(line, t)) {
      if (in_run) done(r);
      r = CtlRun{};
      in_run = true;
      char buf[80];
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900,
                    t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
      r.stamp = buf;
      r.started = std::mktime(&t);
      continue;
    }
    if (!in_run || line.empty()) continue;
    r.last_entry = line;
    if (Starts(line, "Info: Buchung eingepflegt! ")) ++r.followups;
    if (Starts(line, "Info: Folgemeldungsart mit Sollzeitprüfung! ")) ++r.refused;
    if (Starts(line, "Info: Nachholung für Abrechnungstag Tag:"))
      r.catch_up_day = line.substr(line.find("Tag:") + 4, 8);
    if (Starts(line, "Fehler(Nachholung): ")) {
      r.day_refused = true;
      const std::size_t at = line.find("Tag:");
      if (at != std::string::npos) r.catch_up_day = line.substr(at + 4, 8);
    }
    if (Starts(line, "Fehler")) {
      ++r.errors;
      if (r.first_error.empty()) r.first_error = line;
      if (Starts(line, "Fehler(DB-Connect)! RC:")) r.connect_rc = std::atoi(line.c_str() + 23);
    }
  }
  if (in_run) done(r);
}

std::vector<CtlRun> Ctl_ReadRuns(const std::string& text) {
  std::vector<CtlRun> runs;
  std::FILE* in = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (in == nullptr) return runs;
  Ctl_EachRun(in, [&runs](const CtlRun& r) { runs.push_back(r); });
  std::fclose(in);
  return runs;
}

std::FILE* Ctl_OpenRunLog(const std::string& path, std::string& why) {
  // Opened without waiting (a FIFO's open would wait for a writer), then checked.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  std::FILE* f = nullptr;
  if (::fstat(fd, &st) != 0)
    why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    why = "not a regular file";
  else if ((f = ::fdopen(fd, "r")) == nullptr)
    why = std::strerror(errno);
  if (f == nullptr) ::close(fd);
  return f;
}

namespace {

std::string DirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> Ctl_RunLogDirs(const std::string& log) {
  std::vector<std::string> dirs;
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(log, ec);
  if (!ec) dirs.push_back(real.parent_path().string());
  const std::string given = DirOf(log);
  std::error_code same;
  if (dirs.empty() || !std::filesystem::equivalent(dirs.front(), given, same))
    dirs.push_back(given);
  return dirs;
}

std::string Ctl_RecordedState(const std::string& log, const std::string& stamp) {
  std::string state;
  for (const std::string& dir : Ctl_RunLogDirs(log)) {
    std::string why;
    std::FILE* in = Ctl_OpenRunLog(dir + "/" + kEndRecordName, why);
    if (in == nullptr) continue;
    Ctl_EachRun(in, [&](const CtlRun& r) {
      if (r.stamp == stamp) state = r.last_entry;
    });
    std::fclose(in);
    if (!state.empty()) break;
  }
  return state;
}

std::string Ctl_RunLogRunForDay(const std::string& path, int64_t day) {
  std::string why, stamp;
  std::FILE* in = Ctl_OpenRunLog(path, why);
  if (in == nullptr) return stamp;
  Ctl_EachRun(in, [&](const CtlRun& r) {
    if (r.connect_rc == 0 && !r.day_refused && r.AccountingDay() == day &&
        Ctl_RecordedState(path, r.stamp) != "running")
      stamp = r.stamp;
  });
  std::fclose(in);
  return stamp;
}

std::vector<std::string> Ctl_RunLogEntries(const std::string& text) {
  std::vector<std::string> entries;
  std::istringstream in(text);
  std::tm t{};
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && !ReadStamp(line, t)) entries.push_back(line);
  return entries;
}

