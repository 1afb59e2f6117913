#include "tools/odbc_logs.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "run/ground/DatabaseAddress.h"

namespace {

std::string Trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// One ini file as unixODBC reads it: "[SECTION]" lines, "KEY = VALUE" lines (names and values
// without the blanks around them), lines starting with '#' or ';' are comments. Sections and
// keys are found in any case; the first of a name counts.
struct IniText {
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
  };
  std::string path;
  std::vector<Section> sections;

  explicit IniText(std::string file) : path(std::move(file)) {
    // Only a regular file is read: a FIFO or a device put there would stall doctor.
    struct stat sb {};
    if (path.empty() || ::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      line = Trim(line);
      if (line.empty() || line[0] == '#' || line[0] == ';') continue;
      if (line[0] == '[') {
        sections.push_back({Trim(line.substr(1, line.find(']') - 1)), {}});
        continue;
      }
      if (sections.empty()) continue;
      const std::size_t eq = line.find('=');
      sections.back().entries.emplace_back(
          Trim(line.substr(0, eq)), eq == std::string::npos ? "" : Trim(line.substr(eq + 1)));
    }
  }
  const Section* Find(const std::string& name) const {
    for (const Section& s : sections)
      if (SameName(s.name, name)) return &s;
    return nullptr;
  }
};

// The entry of `key`, as written; nullptr when there is none.
const std::pair<std::string, std::string>* EntryOf(const IniText::Section& s,
                                                   const std::string& key) {
  for (const auto& e : s.entries)
    if (SameName(e.first, key)) return &e;
  return nullptr;
}

const std::string* ValueOf(const IniText::Section& s, const std::string& key) {
  const auto* e = EntryOf(s, key);
  return e != nullptr ? &e->second : nullptr;
}

// A log switch of PostgreSQL's driver is on when its value reads as a number above 0, as the
// driver reads it (leading digits; "yes" is 0).
bool NumberOn(const std::string& v) { return std::strtol(v.c_str(), nullptr, 10) > 0; }

// unixODBC's Trace is on for "1", "Yes" or "On", by their first letters, in any case.
bool TraceOn(const std::string& v) {
  const std::string l = Lower(v);
  return !l.empty() && (l[0] == '1' || l[0] == 'y' || l.compare(0, 2, "on") == 0);
}

// The pairs of an ODBC connection string, keys and values without the blanks around them,
// values without their braces ("}}" read as '}').
std::vector<std::pair<std::string, std::string>> Pairs(const std::string& s) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t eq = s.find('=', i), semi = s.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      if (semi == std::string::npos) break;
      i = semi + 1;
      continue;
    }
    std::string key = Trim(s.substr(i, eq - i)), value;
    std::size_t j = s.find_first_not_of(" \t", eq + 1);
    if (j == std::string::npos) j = s.size();
    const bool braced = j < s.size() && s[j] == '{';
    if (braced) {
      for (++j; j < s.size(); ++j) {
        if (s[j] != '}') {
          value += s[j];
        } else if (j + 1 < s.size() && s[j + 1] == '}') {
          value += s[j++];
        } else {
          ++j;
          break;
        }
      }
    }
    const std::size_t end = std::min(s.find(';', j), s.size());
    if (!braced) value = Trim(s.substr(j, end - j));
    pairs.emplace_back(std::move(key), std::move(value));
    i = end + 1;
  }
  return pairs;
}

const char* const kDebugAdvice =
    "PostgreSQL's ODBC driver then logs its calls, connection settings and data into "
    "/tmp/mylog_* files, which other users can usually read: set it to 0";
const char* const kCommLogAdvice =
    "PostgreSQL's ODBC driver then logs the statements and data it exchanges with the server "
    "into /tmp/psqlodbc_* files, which other users can usually read: set it to 0";
// A data source's or connection string's switch is overridden on the job's own connections,
// which ask for no log; not on other programs' connections to the same data source.
const char* const kOverridden =
    " (the job's own connections switch it off, other programs' connections do not)";
// The driver-wide Debug switch has the log open from the driver's start: the connection string
// is written, password and all, before the connection's own Debug=0 is read.
const char* const kDriverWideDebugAdvice =
    "PostgreSQL's ODBC driver then logs its calls and data into /tmp/mylog_* files, which other "
    "users can usually read, and the connection string of every connection as it opens, "
    "password included, the job's own too: set it to 0";

// Where a section stands for the switches in it.
enum class SectionKind { kDataSource, kDriver, kDriverWide };

struct Checker {
  OdbcLogReport report;

  void Section(const IniText& file, const IniText::Section& s, SectionKind kind) {
    for (const char* key : {"Debug", "CommLog"}) {
      const auto* e = EntryOf(s, key);
      if (e == nullptr || !NumberOn(e->second)) continue;
      const bool debug = SameName(key, "Debug");
      OdbcLogSwitch sw{file.path + " [" + s.name + "]", e->first + "=" + e->second,
                       debug ? kDebugAdvice : kCommLogAdvice, false};
      if (kind == SectionKind::kDataSource) sw.advice += kOverridden;
      if (kind == SectionKind::kDriverWide && debug) {
        sw.advice = kDriverWideDebugAdvice;
        sw.logs_password = true;
      }
      report.on.push_back(std::move(sw));
    }
  }
};

}  // namespace

OdbcIniFiles OdbcIni_Files() {
  OdbcIniFiles f;
  const std::string sys = Env("ODBCSYSINI").empty() ? "/etc" : Env("ODBCSYSINI");
  const std::string inst = Env("ODBCINSTINI").empty() ? "odbcinst.ini" : Env("ODBCINSTINI");
  f.drivers = sys + "/" + inst;
  f.system_sources = sys + "/odbc.ini";
  f.user_sources = Env("ODBCINI");
  if (f.user_sources.empty()) {
    const passwd* pw = ::getpwuid(::getuid());
    f.user_sources =
        std::string(pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/home") + "/.odbc.ini";
  }
  return f;
}

OdbcLogReport OdbcLog_Check(const std::string& net8, const OdbcIniFiles& files) {
  const DatabaseAddress address = DatabaseAddress_Parse(net8);
  if (address.engine != DbEngine::kOdbc && address.engine != DbEngine::kServiceName) return {};
  const IniText drivers(files.drivers), user(files.user_sources), system(files.system_sources);

  std::string dsn, driver;
  std::vector<std::pair<std::string, std::string>> pairs;
  if (address.engine == DbEngine::kServiceName) {
    dsn = net8;
  } else if (address.place.find('=') == std::string::npos) {
    dsn = address.place;
  } else {
    pairs = Pairs(address.place);
    for (const auto& [k, v] : pairs) {
      if (SameName(k, "DSN") && dsn.empty()) dsn = v;
      if (SameName(k, "Driver") && driver.empty()) driver = v;
    }
  }
  dsn = Trim(dsn);

  Checker c;
  // The data source: the user's definition hides the system's.
  const IniText* source_file = nullptr;
  const IniText::Section* source = nullptr;
  for (const IniText* f : {&user, &system}) {
    if (dsn.empty() || (source = f->Find(dsn)) == nullptr) continue;
    source_file = f;
    break;
  }
  // A bare name is served through ODBC only when a data source of that name is defined.
  if (address.engine == DbEngine::kServiceName && source == nullptr) return {};
  c.report.odbc = true;
  if (source != nullptr) {
    c.Section(*source_file, *source, SectionKind::kDataSource);
    if (driver.empty())
      if (const std::string* d = ValueOf(*source, "Driver")) driver = *d;
  }

  // The driver: a section of the drivers' file, else the path of its library.
  std::string library = driver;
  const IniText::Section* driver_section = driver.empty() ? nullptr : drivers.Find(driver);
  if (driver_section != nullptr) {
    const std::string* lib = ValueOf(*driver_section, "Driver64");
    if (lib == nullptr || lib->empty()) lib = ValueOf(*driver_section, "Driver");
    library = lib != nullptr ? *lib : "";
  }
  // PostgreSQL's driver reads its driver-wide switches from the section of its own name,
  // whatever the section that registers it is called (Debian registers it under that name).
  std::vector<const IniText::Section*> driver_wide;
  const std::string lib_name = Lower(library.substr(library.rfind('/') + 1));
  if (lib_name.find("psqlodbc") != std::string::npos) {
    const bool ansi = lib_name.find("psqlodbca") != std::string::npos;
    const bool unicode = lib_name.find("psqlodbcw") != std::string::npos;
    if (const IniText::Section* s = ansi ? nullptr : drivers.Find("PostgreSQL Unicode"))
      driver_wide.push_back(s);
    if (const IniText::Section* s = unicode ? nullptr : drivers.Find("PostgreSQL ANSI"))
      driver_wide.push_back(s);
  }
  if (driver_section != nullptr &&
      std::find(driver_wide.begin(), driver_wide.end(), driver_section) == driver_wide.end())
    c.Section(drivers, *driver_section, SectionKind::kDriver);
  for (const IniText::Section* s : driver_wide) c.Section(drivers, *s, SectionKind::kDriverWide);

  // The connection string's own switches, long and short names; the driver takes the last of
  // each.
  const std::pair<std::string, std::string>*debug = nullptr, *commlog = nullptr;
  for (const auto& p : pairs) {
    const std::string key = Lower(p.first);
    if (key == "debug" || key == "b2") debug = &p;
    if (key == "commlog" || key == "b3") commlog = &p;
  }
  for (const auto& [p, advice] : {std::pair{debug, kDebugAdvice}, {commlog, kCommLogAdvice}})
    if (p != nullptr && NumberOn(p->second))
      c.report.on.push_back(
          {"NET8", p->first + "=" + p->second, std::string(advice) + kOverridden});

  // The driver manager's trace.
  if (const IniText::Section* odbc = drivers.Find("ODBC")) {
    const auto* trace = EntryOf(*odbc, "Trace");
    if (trace != nullptr && TraceOn(trace->second)) {
      const std::string* file = ValueOf(*odbc, "TraceFile");
      c.report.on.push_back(
          {drivers.path + " [" + odbc->name + "]", trace->first + "=" + trace->second,
           "unixODBC then traces every ODBC call, connection strings and data included, into " +
               (file != nullptr && !file->empty() ? *file : std::string("/tmp/sql.log")) +
               ": set it to No"});
    }
  }
  return c.report;
}
