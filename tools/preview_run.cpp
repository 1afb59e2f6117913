#include "tools/preview_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "db/parveksql.h"
#include "run/ground/RunLog.h"
#include "tools/ctl.h"
#include "tools/ctl_runlog.h"

namespace {

namespace fs = std::filesystem;

// The whole file in `out`; false when it cannot be opened or read to its end.
bool ReadWhole(const fs::path& p, std::string& out) {
  out.clear();
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::error_code ec;
  const auto size = fs::file_size(p, ec);
  return !in.bad() && !ec && size == out.size();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The preview's private directory and its two files, for the signal handler: it holds personal
// data and goes with the preview whichever way the preview ends.
char g_preview_dir[272];
char g_preview_files[2][272];

void RemovePreviewDir() {
  for (const char* f : g_preview_files) ::unlink(f);
  ::rmdir(g_preview_dir);
}

// "parvekctl: COMMAND" for the signal handler's lines.
char g_who[64];

// One line on standard error from a signal handler: "parvekctl: COMMAND" and `text`.
void Say(const char* text, std::size_t n) {
  (void)!::write(STDERR_FILENO, g_who, std::strlen(g_who));
  (void)!::write(STDERR_FILENO, text, n);
}

// Interrupted, out of time, or ended by a night (SIGUSR1): the private directory is removed and the process ends. Its
// transaction, never committed, ends with the connection: the database rolls it back.
void EndPreview(int sig) {
  RemovePreviewDir();
  if (sig == SIGALRM) {
    static const char kOut[] =
        ": the preview ran out of its time and ends; nothing of it is kept\n";
    Say(kOut, sizeof kOut - 1);
    ::_exit(2);
  }
  if (sig == SIGUSR1) {
    static const char kOut[] =
        ": a night of this database began and ended the preview; nothing of the preview is "
        "kept\n";
    Say(kOut, sizeof kOut - 1);
    ::_exit(kExitPreviewEnded);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

constexpr const char* kPreviewDirPrefix = "parvekctl-preview-";

// The preview's directory `name` in `tmp`, opened and locked: a preview holds its directory's
// lock (flock) as long as it runs, and the kernel drops it whichever way the process ends, even
// by SIGKILL. -1 when it is no directory of this user or another process holds its lock.
int LockPreviewDir(const std::string& tmp, const std::string& name, bool wait) {
  const int fd =
      ::open((tmp + "/" + name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() ||
      ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Removes the directories that previews of this user left in `tmp` when they were killed
// (SIGKILL cannot be caught): the directories whose lock no process holds. A directory whose
// lock is held belongs to a preview running now and is left to it.
void RemoveStalePreviewDirs(const std::string& tmp) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(tmp, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kPreviewDirPrefix, 0) != 0) continue;
    const int fd = LockPreviewDir(tmp, name, false);
    if (fd < 0) continue;
    // Its files, never following a link, then the directory itself.
    if (DIR* d = ::fdopendir(::dup(fd))) {
      std::vector<std::string> files;
      for (const dirent* e = ::readdir(d); e != nullptr; e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
          files.push_back(e->d_name);
      ::closedir(d);
      for (const std::string& f : files) ::unlinkat(fd, f.c_str(), 0);
    }
    ::rmdir((tmp + "/" + name).c_str());
    ::close(fd);
  }
}

// A new private directory in `tmp`, locked for as long as the preview runs (the descriptor in
// `lock`); false when none can be made.
bool MakePreviewDir(const std::string& tmp, std::string& dir, int& lock) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    dir = tmp + "/" + kPreviewDirPrefix + "XXXXXX";
    if (dir.size() + 16 > sizeof g_preview_files[0] || ::mkdtemp(dir.data()) == nullptr)
      return false;
    // Another preview's clean-up may have taken the new directory for a dead one's before its
    // lock was taken here: then it is gone, and another is made.
    lock = LockPreviewDir(tmp, fs::path(dir).filename().string(), true);
    struct stat held {}, named {};
    if (lock >= 0 && ::fstat(lock, &held) == 0 && ::lstat(dir.c_str(), &named) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev)
      return true;
    if (lock >= 0) ::close(lock);
    ::rmdir(dir.c_str());
  }
  return false;
}

}  // namespace

int Preview_Run(NightContext& night, const char* who, int max_seconds, PreviewResult& r) {
  const std::string prefix = std::string(who) + ": ";
  std::snprintf(g_who, sizeof g_who, "parvekctl: %s", who);
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string tmp = tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp";
  RemoveStalePreviewDirs(tmp);
  std::string tmpl;
  int dir_lock = -1;
  if (!MakePreviewDir(tmp, tmpl, dir_lock))
    return Ctl_Fail(prefix + "no private directory for the preview");
  const fs::path work = tmpl;
  std::snprintf(g_preview_dir, sizeof g_preview_dir, "%s", tmpl.c_str());
  std::snprintf(g_preview_files[0], sizeof g_preview_files[0], "%s/%s", tmpl.c_str(), "parvek.log");
  std::snprintf(g_preview_files[1], sizeof g_preview_files[1], "%s/%s", tmpl.c_str(), "parvektgb");
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGUSR1}) std::signal(sig, EndPreview);
  // A preview holds its locks in the database as long as it runs: its time is bounded, and the
  // night outwaits that bound.
  ::alarm(static_cast<unsigned>(max_seconds));
  night.mode = NightMode::kPreview;
  night.dir = work.string();
  const int rc = Night_Run(night, &r.refusal);
  ::alarm(0);
  // A night of this database on another host ends the preview's sessions: its statements then
  // find their connection gone.
  const bool ended = Stmt_ConnectionLost() != 0;

  // A full or failing file system would cut the lists short: the preview then shows nothing.
  std::string log_text, params_text;
  const bool whole = Log_FileFailures() == 0;
  const bool log_read = ReadWhole(work / "parvek.log", log_text);
  const bool params_read = ReadWhole(work / "parvektgb", params_text);
  r.rc = rc;
  r.log = Ctl_RunLogEntries(log_text);
  r.params = Lines(params_text);
  std::error_code ignored;
  fs::remove_all(work, ignored);
  ::close(dir_lock);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) std::signal(sig, SIG_DFL);
  if (ended && rc >= 0) {
    std::fprintf(stderr,
                 "parvekctl: %s: the preview's connection was ended (by a night of this "
                 "database, or by the server); nothing of the preview is kept\n",
                 who);
    return kExitPreviewEnded;
  }
  if (rc < 0) {
    std::string why = prefix + "RC:" + std::to_string(rc) + " the preview could not connect";
    for (const auto& l : r.log) why += "\n  " + l;
    return Ctl_Fail(why);
  }
  if (rc == 0 && (!whole || !log_read || !params_read))
    return Ctl_Fail(prefix + "the preview's run log or parameter file in " + work.string() +
                    " could not be written or read back whole (is its file system full? see "
                    "TMPDIR); nothing is shown, since its lists would be incomplete");
  return 0;
}
