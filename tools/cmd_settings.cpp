// parvekctl settings commands: write or replace one setting of a settings file, list its
// keys, show one deciphered value. Values are enciphered exactly as the job deciphers them,
// and every file written is read back with the job's own reader before it replaces the old
// one.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "run/BfCipher.h"
#include "run/IniFile.h"
#include "tools/ctl.h"

namespace {

namespace fs = std::filesystem;

// The header line of every record this tool writes: a non-empty section between two ';',
// so that the record answers the job's requests only through its key.
constexpr const char* kHeader = ";PARVEK;";

struct StoredRecord {
  std::size_t line;  // index of the header line in the file's lines
  IniRecord rec;
};

// The file's records as the job's reader pairs them. A last line without a partner is not
// part of any record.
std::vector<StoredRecord> Records(const std::vector<std::string>& lines) {
  std::vector<StoredRecord> out;
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2)
    out.push_back({i, Ini_ParseRecord(Ini_NormalizeLine(lines[i]), Ini_NormalizeLine(lines[i + 1]))});
  return out;
}

// Why a record answers every request of the job (empty section, number 0), or nullptr.
const char* AnswersEverything(const IniRecord& r) {
  if (r.fields.section.empty()) return "its header line has no section (fewer than two ';')";
  if (r.has_number == 1 && r.fields.number == 0) return "its number reads as 0";
  return nullptr;
}

int ReadFile(const std::string& path, std::string& content, bool& exists) {
  content.clear();
  exists = false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return errno == ENOENT ? 0 : -1;
  exists = true;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  return failed ? -1 : 0;
}

// Writes `content` to a new file beside `path` and renames it over `path`, so that a failure
// at any point leaves the old file as it was. A new file is readable by its owner only.
int WriteAtomically(const std::string& path, const std::string& content, std::string& error,
                    const std::string& expect_key, const std::string& expect_value) {
  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
  std::string tmpl = path + ".tmpXXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    error = "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
    return -1;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < content.size();) {
    const ssize_t w = ::write(fd, content.data() + done, content.size() - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<std::size_t>(w);
  }
  ok = ok && ::fsync(fd) == 0;
  const int saved = errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    error = "cannot write " + tmpl + ": " + std::strerror(saved);
    ::unlink(tmpl.c_str());
    return -1;
  }
  // Read back with the job's reader before the old file is replaced.
  Ini_ReadEntry("", expect_key.c_str(), 0, tmpl.c_str());
  const bool same = IniEntry.value == expect_value;
  IniEntry.value.assign(IniEntry.value.size(), '\0');
  if (!same) {
    error = "the written file does not read back as written; " + path + " left unchanged";
    ::unlink(tmpl.c_str());
    return -1;
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(tmpl.c_str());
    return -1;
  }
  return 0;
}

// A symbolic link is followed, so that the file it names is the one replaced.
std::string TargetPath(const std::string& path) {
  std::error_code ec;
  if (fs::is_symlink(path, ec)) {
    const fs::path target = fs::canonical(path, ec);
    if (!ec) return target.string();
  }
  return path;
}

// One line from standard input; typed at a terminal, it is prompted for and not echoed.
bool ReadValueLine(const std::string& key, std::string& value) {
  termios saved{};
  const bool tty = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (tty) {
    std::fprintf(stderr, "%s: ", key.c_str());
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, value));
  if (tty) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  return ok;
}

int SettingsSet(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3)
    return Ctl_Fail("usage: settings-set FILE KEY [VALUE]  (without VALUE, one line is read from standard input)");
  const std::string path = TargetPath(args[0]);
  const std::string& key = args[1];
  if (key.empty() || key.find_first_of(";\r\n") != std::string::npos)
    return Ctl_Fail("a key must not be empty and must not hold ';' or a line end");

  std::string value;
  if (args.size() == 3) {
    value = args[2];
  } else {
    // A line end alone gives an empty value; nothing at all is refused.
    if (!ReadValueLine(key, value)) return Ctl_Fail("no value on standard input");
    if (!value.empty() && value.back() == '\r') value.pop_back();
  }
  if (value.find('\0') != std::string::npos) return Ctl_Fail("a value must not hold a zero byte");

  std::string content;
  bool exists = false;
  if (ReadFile(path, content, exists) != 0) return Ctl_Fail("cannot read " + path + ": " + std::strerror(errno));

  std::vector<std::string> lines = Ini_SplitLines(content);
  const std::vector<StoredRecord> records = Records(lines);

  // Line end of new lines: as the file's first line, else a line feed.
  const std::string eol = (!lines.empty() && lines[0].size() >= 2 && lines[0].ends_with("\r\n")) ? "\r\n" : "\n";

  long long max_number = 0;
  for (const auto& r : records)
    if (r.rec.has_number == 1 && r.rec.fields.number > max_number) max_number = r.rec.fields.number;

  const std::string hex = Ini_Encipher(value);
  std::size_t target = records.size();
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].rec.fields.key == key) {
      target = i;
      break;
    }

  // The first record that answers the job's request for `key` must be the one written here.
  for (std::size_t i = 0; i < target; ++i)
    if (const char* why = AnswersEverything(records[i].rec))
      return Ctl_Fail("the record at line " + std::to_string(records[i].line + 1) + " answers every key (" + why +
                      "); the job would never read " + key + ". Fix that record first; " + path + " left unchanged");

  if (target < records.size()) {
    // Replace this record; keep its section and number when they do not answer everything.
    const StoredRecord& old = records[target];
    const std::string& old_entry = lines[old.line + 1];
    const std::string entry_eol = old_entry.ends_with("\r\n") ? "\r\n" : (old_entry.ends_with("\n") ? "\n" : "");
    long long number = old.rec.fields.number;
    if (old.rec.has_number == 0 || number == 0) number = max_number + 1;
    if (number > INT_MAX) return Ctl_Fail("no entry number left for " + key);
    if (old.rec.fields.section.empty()) lines[old.line] = kHeader + entry_eol;
    lines[old.line + 1] = std::to_string(number) + ";" + key + ";" + hex + entry_eol;
  } else {
    // A new record after the last whole record (before a last line without partner).
    if (max_number + 1 > INT_MAX) return Ctl_Fail("no entry number left for " + key);
    const std::size_t at = records.size() * 2;
    if (at > 0 && !lines[at - 1].ends_with("\n")) lines[at - 1] += eol;
    const std::string header = kHeader + eol;
    const std::string entry = std::to_string(max_number + 1) + ";" + key + ";" + hex + eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), {header, entry});
  }

  std::string out;
  for (const auto& l : lines) out += l;
  std::string error;
  const std::string expect(value.c_str());
  if (WriteAtomically(path, out, error, key, expect) != 0) return Ctl_Fail(error);
  std::fprintf(stdout, "%s: %s %s\n", path.c_str(), target < records.size() ? "replaced" : "added", key.c_str());
  return 0;
}

int SettingsList(const std::vector<std::string>& args) {
  if (args.size() != 1) return Ctl_Fail("usage: settings-list FILE");
  std::string content;
  bool exists = false;
  if (ReadFile(args[0], content, exists) != 0 || !exists)
    return Ctl_Fail("cannot read " + args[0] + ": " + std::strerror(errno));
  const std::vector<std::string> lines = Ini_SplitLines(content);
  const std::vector<StoredRecord> records = Records(lines);
  std::vector<std::string> seen;
  for (const auto& r : records) {
    std::printf("%s\n", r.rec.fields.key.c_str());
    const std::string where = "line " + std::to_string(r.line + 2) + ": ";
    if (const char* why = AnswersEverything(r.rec))
      std::fprintf(stderr, "parvekctl: warning: %srecord answers every key: %s\n", where.c_str(), why);
    for (const auto& k : seen)
      if (k == r.rec.fields.key) std::fprintf(stderr, "parvekctl: warning: %s%s repeats; the first one is used\n", where.c_str(), k.c_str());
    seen.push_back(r.rec.fields.key);
  }
  if (lines.size() % 2 == 1)
    std::fprintf(stderr, "parvekctl: warning: line %zu has no partner line and is ignored\n", lines.size());
  return 0;
}

int SettingsShow(const std::vector<std::string>& args) {
  bool reveal = false;
  std::vector<std::string> rest;
  for (const auto& a : args) {
    if (a == "--reveal")
      reveal = true;
    else
      rest.push_back(a);
  }
  if (rest.size() != 2) return Ctl_Fail("usage: settings-show FILE KEY [--reveal]  (PASS only with --reveal)");
  const std::string& path = rest[0];
  const std::string& key = rest[1];
  if (key == "PASS" && !reveal) return Ctl_Fail("the password is shown only with --reveal");
  if (::access(path.c_str(), R_OK) != 0) return Ctl_Fail("cannot read " + path + ": " + std::strerror(errno));

  // Exactly what the job reads: empty section, number 0.
  Ini_ReadEntry("", key.c_str(), 0, path.c_str());
  // The reader leaves its record clear when no record answered.
  if (IniEntry.key.empty() && IniEntry.section.empty() && IniEntry.number == 0 && IniEntry.value.empty())
    return Ctl_Fail(key + " not found in " + path);
  if (IniEntry.key != key)
    std::fprintf(stderr, "parvekctl: warning: the job reads %s from a record with key '%s' that answers every key\n",
                 key.c_str(), IniEntry.key.c_str());
  std::printf("%s\n", IniEntry.value.c_str());
  IniEntry.value.assign(IniEntry.value.size(), '\0');
  return 0;
}

const CtlCommand kSet("settings-set", "settings-set FILE KEY [VALUE]   write or replace one enciphered setting (VALUE from stdin when omitted)", SettingsSet);
const CtlCommand kList("settings-list", "settings-list FILE              list the keys of a settings file in file order", SettingsList);
const CtlCommand kShow("settings-show", "settings-show FILE KEY [--reveal] show the value the job reads for KEY (PASS only with --reveal)", SettingsShow);

}  // namespace
