#include "tools/ctl_runlog.h"

#include <cstdlib>
#include <sstream>

#include "tools/civil_date.h"

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

std::vector<CtlRun> Ctl_ReadRuns(const std::string& text) {
  std::vector<CtlRun> runs;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::tm t{};
    if (ReadStamp(line, t)) {
      CtlRun r;
      char buf[80];
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900,
                    t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
      r.stamp = buf;
      r.started = std::mktime(&t);
      runs.push_back(r);
      continue;
    }
    if (runs.empty() || line.empty()) continue;
    CtlRun& r = runs.back();
    r.entries.push_back(line);
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
  return runs;
}

std::vector<std::string> Ctl_RunLogEntries(const std::string& text) {
  std::vector<std::string> entries;
  std::istringstream in(text);
  std::tm t{};
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && !ReadStamp(line, t)) entries.push_back(line);
  return entries;
}
