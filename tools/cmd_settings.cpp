// parvekctl settings commands: write or replace one setting of a settings file, list its
// keys, show one deciphered value. Values are enciphered exactly as the job deciphers them,
// and every file written is read back with the job's own reader before it replaces the old
// one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "run/ground/IniFile.h"
#include "tools/ctl.h"
#include "tools/settings_record.h"

namespace {

namespace fs = std::filesystem;

struct StoredRecord {
  std::size_t line;  // index of the header line in the file's lines
  IniRecord rec;
};

// The file's records as the job's reader pairs them. A last line without a partner is not
// part of any record.
std::vector<StoredRecord> Records(const std::vector<std::string>& lines) {
  std::vector<StoredRecord> out;
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2)
    out.push_back(
        {i, Ini_ParseRecord(Ini_NormalizeLine(lines[i]), Ini_NormalizeLine(lines[i + 1]))});
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

// Whether the job deciphers the record's value as it was enciphered: an entry line
// "NUMBER;KEY;VALUE" with a key, whose value's whole blocks of 16 characters (all the reader
// deciphers) are upper-case hexadecimal digits. Other characters decipher into bytes nobody
// wrote.
bool Sound(const IniRecord& r) {
  const std::string& v = r.fields.value;
  return r.has_number == 1 && !r.fields.key.empty() &&
         v.find_first_not_of("0123456789ABCDEF") >= v.size() / 16 * 16;
}

}  // namespace

std::string Ctl_SettingsProblem(const std::string& path, const std::vector<std::string>& keys) {
  std::string content;
  bool exists = false;
  if (ReadFile(path, content, exists) != 0 || !exists) return "";
  const std::vector<StoredRecord> records = Records(Ini_SplitLines(content));
  bool any = false;
  for (const auto& r : records) any = any || Sound(r.rec);
  if (!any)
    return path +
           " holds no settings record the job would read (a header line, then "
           "NUMBER;KEY;VALUE with the value enciphered: parvekctl settings-set writes them)";
  for (const std::string& key : keys) {
    // The record the job reads for the key: the first that answers.
    for (const auto& r : records) {
      if (Ini_RecordAnswers(r.rec, "", key.c_str(), 0) == 0) continue;
      if (!Sound(r.rec))
        return "the record at line " + std::to_string(r.line + 1) + " of " + path +
               ", which the job reads for " + key +
               ", holds no enciphered value (upper-case hexadecimal digits, 16 to a block); "
               "write it again with parvekctl settings-set";
      break;
    }
  }
  return "";
}

namespace {

// Writes `content` to a new file beside `path` and renames it over `path`, so that a failure
// at any point leaves the old file as it was. The new file takes the old one's owner, group and
// mode (a new file is readable by its owner only); when that cannot be kept, nothing changes.
int WriteAtomically(const std::string& path, const std::string& content, std::string& error,
                    const std::string& expect_key, const std::string& expect_value) {
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  const mode_t mode = existed ? (st.st_mode & 07777) : 0600;
  std::string tmpl = path + ".tmpXXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    error = "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
    return -1;
  }
  bool ok = true;
  if (existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    error = "cannot keep the owner and group of " + path + " (" + std::strerror(errno) +
            "); left unchanged";
    ok = false;
  }
  if (ok && ::fchmod(fd, mode) != 0) {
    error = "cannot keep the mode of " + path + " (" + std::strerror(errno) + "); left unchanged";
    ok = false;
  }
  for (std::size_t done = 0; ok && done < content.size();) {
    const ssize_t w = ::write(fd, content.data() + done, content.size() - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok)
      done += static_cast<std::size_t>(w);
    else
      error = "cannot write " + tmpl + ": " + std::strerror(errno);
  }
  if (ok && ::fsync(fd) != 0) {
    error = "cannot write " + tmpl + ": " + std::strerror(errno);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = "cannot write " + tmpl + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) {
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

// The file that a settings path names: the path itself, or the file at the end of its
// symbolic links when every link of the chain belongs to that file's owner (a link planted by
// someone else must not make this tool replace another user's file). False, with the reason.
bool SettingsTarget(const std::string& path, std::string& target, std::string& why) {
  fs::path cur = path;
  std::vector<uid_t> link_owners;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(cur.c_str(), &st) != 0) {
      if (errno == ENOENT && link_owners.empty()) {  // a new file
        target = cur.string();
        return true;
      }
      why = (errno == ENOENT ? path + " is a symbolic link to a missing file " + cur.string()
                             : "cannot read " + cur.string() + ": " + std::strerror(errno));
      return false;
    }
    if (!S_ISLNK(st.st_mode)) {
      if (!S_ISREG(st.st_mode)) {
        why = cur.string() + " is not a regular file";
        return false;
      }
      for (const uid_t owner : link_owners)
        if (owner != st.st_uid) {
          why = path + " is a symbolic link owned by another user than the file it names (" +
                cur.string() + "); refused, nothing written";
          return false;
        }
      target = cur.string();
      return true;
    }
    link_owners.push_back(st.st_uid);
    std::error_code ec;
    const fs::path next = fs::read_symlink(cur, ec);
    if (ec) {
      why = "cannot read the symbolic link " + cur.string() + ": " + ec.message();
      return false;
    }
    cur = next.is_absolute() ? next : cur.parent_path() / next;
  }
  why = path + ": too many symbolic links";
  return false;
}

// An exclusive lock on the directory that holds a settings file, so that concurrent edits of
// files there follow one another (each one reads what the one before wrote). The file itself
// cannot carry the lock: every edit replaces it by a new file.
class DirLock {
 public:
  explicit DirLock(const std::string& file) {
    fs::path dir = fs::path(file).parent_path();
    if (dir.empty()) dir = ".";
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      why_ = "cannot open the directory " + dir.string() + ": " + std::strerror(errno);
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        why_ = "cannot lock the directory " + dir.string() + ": " + std::strerror(errno);
        return;
      }
    }
    locked_ = true;
  }
  ~DirLock() {
    if (fd_ >= 0) {
      if (locked_) ::fsync(fd_);  // the rename done under the lock reaches the disk
      ::close(fd_);
    }
  }
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  bool locked() const { return locked_; }
  const std::string& why() const { return why_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
  std::string why_;
};

struct SetOptions {
  std::string file, key, value;
  bool has_value = false;
};

int SettingsSet(const SetOptions& o) {
  const std::string& key = o.key;
  if (key.empty() || key.find_first_of(";\r\n") != std::string::npos)
    return Ctl_Fail("settings-set: a key must not be empty and must not hold ';' or a line end");

  std::string value = o.value;
  // Without VALUE one line is read; a line end alone gives an empty value, nothing is refused.
  if (!o.has_value && !Ctl_ReadSecretLine(key, value))
    return Ctl_Fail("settings-set: no value on standard input");
  if (value.find('\0') != std::string::npos)
    return Ctl_Fail("settings-set: a value must not hold a zero byte");

  std::string path, why;
  if (!SettingsTarget(o.file, path, why)) return Ctl_Fail("settings-set: " + why);
  const DirLock lock(path);
  if (!lock.locked()) return Ctl_Fail("settings-set: " + lock.why());
  // The link may have been changed while this waited for the lock.
  std::string again;
  if (!SettingsTarget(o.file, again, why)) return Ctl_Fail("settings-set: " + why);
  if (again != path)
    return Ctl_Fail("settings-set: " + o.file +
                    " changed while waiting for the lock; nothing written");

  std::string content;
  bool exists = false;
  if (ReadFile(path, content, exists) != 0)
    return Ctl_Fail("cannot read " + path + ": " + std::strerror(errno));

  std::vector<std::string> lines = Ini_SplitLines(content);
  const std::vector<StoredRecord> records = Records(lines);

  // Line end of new lines: as the file's first line, else a line feed.
  const std::string eol =
      (!lines.empty() && lines[0].size() >= 2 && lines[0].ends_with("\r\n")) ? "\r\n" : "\n";

  long long max_number = 0;
  for (const auto& r : records)
    if (r.rec.has_number == 1 && r.rec.fields.number > max_number) max_number = r.rec.fields.number;

  std::size_t target = records.size();
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].rec.fields.key == key) {
      target = i;
      break;
    }

  // The first record that answers the job's request for `key` must be the one written here.
  for (std::size_t i = 0; i < target; ++i)
    if (const char* reason = AnswersEverything(records[i].rec))
      return Ctl_Fail("the record at line " + std::to_string(records[i].line + 1) +
                      " answers every key (" + reason + "); the job would never read " + key +
                      ". Fix that record first; " + path + " left unchanged");

  if (target < records.size()) {
    // Replace this record; keep its section and number when they do not answer everything.
    const StoredRecord& old = records[target];
    const std::string& old_entry = lines[old.line + 1];
    const std::string entry_eol =
        old_entry.ends_with("\r\n") ? "\r\n" : (old_entry.ends_with("\n") ? "\n" : "");
    long long number = old.rec.fields.number;
    if (old.rec.has_number == 0 || number == 0) number = max_number + 1;
    if (number > INT_MAX) return Ctl_Fail("no entry number left for " + key);
    if (old.rec.fields.section.empty()) lines[old.line] = kSettingsHeader + entry_eol;
    lines[old.line + 1] = SettingsEntryLine(number, key, value, entry_eol);
  } else {
    // A new record after the last whole record (before a last line without partner).
    if (max_number + 1 > INT_MAX) return Ctl_Fail("no entry number left for " + key);
    const std::size_t at = records.size() * 2;
    if (at > 0 && !lines[at - 1].ends_with("\n")) lines[at - 1] += eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
                 SettingsRecord(max_number + 1, key, value, eol));
  }

  std::string out;
  for (const auto& l : lines) out += l;
  std::string error;
  const std::string expect(value.c_str());
  if (WriteAtomically(path, out, error, key, expect) != 0) return Ctl_Fail(error);
  std::fprintf(stdout, "%s: %s %s\n", path.c_str(), target < records.size() ? "replaced" : "added",
               key.c_str());
  return 0;
}

int SettingsList(const std::string& file) {
  std::string content;
  bool exists = false;
  if (ReadFile(file, content, exists) != 0 || !exists)
    return Ctl_Fail("cannot read " + file + ": " + std::strerror(errno));
  if (const std::string problem = Ctl_SettingsProblem(file, {}); !problem.empty())
    return Ctl_Fail("settings-list: " + problem);
  const std::vector<std::string> lines = Ini_SplitLines(content);
  const std::vector<StoredRecord> records = Records(lines);
  std::vector<std::string> seen;
  for (const auto& r : records) {
    std::printf("%s\n", r.rec.fields.key.c_str());
    const std::string where = "line " + std::to_string(r.line + 2) + ": ";
    if (const char* why = AnswersEverything(r.rec))
      std::fprintf(stderr, "parvekctl: warning: %srecord answers every key: %s\n", where.c_str(),
                   why);
    for (const auto& k : seen)
      if (k == r.rec.fields.key)
        std::fprintf(stderr, "parvekctl: warning: %s%s repeats; the first one is used\n",
                     where.c_str(), k.c_str());
    seen.push_back(r.rec.fields.key);
  }
  if (lines.size() % 2 == 1)
    std::fprintf(stderr, "parvekctl: warning: line %zu has no partner line and is ignored\n",
                 lines.size());
  return 0;
}

int SettingsShow(const std::string& path, const std::string& key, bool reveal) {
  if (key == "PASS" && !reveal)
    return Ctl_Fail("settings-show: the password is shown only with --reveal");
  if (::access(path.c_str(), R_OK) != 0)
    return Ctl_Fail("cannot read " + path + ": " + std::strerror(errno));

  // Never bytes deciphered from something that was not enciphered.
  if (const std::string problem = Ctl_SettingsProblem(path, {key}); !problem.empty())
    return Ctl_Fail("settings-show: " + problem);
  // Exactly what the job reads: empty section, number 0.
  Ini_ReadEntry("", key.c_str(), 0, path.c_str());
  // The reader leaves its record clear when no record answered.
  if (IniEntry.key.empty() && IniEntry.section.empty() && IniEntry.number == 0 &&
      IniEntry.value.empty())
    return Ctl_Fail(key + " not found in " + path);
  if (IniEntry.key != key)
    std::fprintf(
        stderr,
        "parvekctl: warning: the job reads %s from a record with key '%s' that answers every key\n",
        key.c_str(), IniEntry.key.c_str());
  std::printf("%s\n", IniEntry.value.c_str());
  IniEntry.value.assign(IniEntry.value.size(), '\0');
  return 0;
}

const CtlCommand kSet("settings-set", "Write or replace one enciphered setting of a settings file",
                      [](CtlArgs& args) {
                        auto o = std::make_shared<SetOptions>();
                        args.Text("FILE", o->file,
                                  "Settings file; created with mode 0600 when missing", true)
                            .Text("KEY", o->key, "Key of the setting (LOGIN, PASS, NET8, SCHEMA)",
                                  true)
                            .Text("VALUE", o->value,
                                  "The value; without it one line is read from standard input (not "
                                  "echoed at a terminal), the way "
                                  "to give a password. Put -- before a VALUE that begins with '-'")
                            .Footer(
                                "The file keeps its owner, group and mode; through a symbolic link "
                                "the file it names is written "
                                "only when link and file have the same owner. Concurrent edits of "
                                "files in one directory wait "
                                "for each other.");
                        return [o, args] {
                          o->has_value = args.Given("VALUE");
                          return SettingsSet(*o);
                        };
                      });

const CtlCommand kList("settings-list", "List the keys of a settings file in file order",
                       [](CtlArgs& args) {
                         auto file = std::make_shared<std::string>();
                         args.Text("FILE", *file, "Settings file", true);
                         return [file] { return SettingsList(*file); };
                       });

const CtlCommand kShow("settings-show", "Show the value the job reads for one key",
                       [](CtlArgs& args) {
                         struct Opts {
                           std::string file, key;
                           bool reveal = false;
                         };
                         auto o = std::make_shared<Opts>();
                         args.Text("FILE", o->file, "Settings file", true)
                             .Text("KEY", o->key, "Key of the setting", true)
                             .Flag("--reveal", o->reveal, "Needed to show PASS");
                         return [o] { return SettingsShow(o->file, o->key, o->reveal); };
                       });

}  // namespace
