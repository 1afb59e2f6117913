// parvekctl nights SETTINGS_FILE... [--at-once K] [--variant KRVNT|XXX] [--join FILE]
// [--workdir TEMPLATE] [--journal DIR] [--wait SECONDS] [--limit SECONDS]: the nights of many
// companies, at most K at a time, each in its own working directory.
//
// Each night is `parvekctl night SETTINGS_FILE VARIANT D` run as a process of its own in the
// company's working directory: the night the units run, with its two locks (the directory's and
// the database's), its record of nights done and its end record. The runner judges each night by
// its exit code and by its run log (connected, no error entry, its end recorded), prints one line
// per company and a total, and with --join writes the companies' parameter files, in the order
// of the settings files, into one file once every night has ended.
//
// Every wait has its bound: a night waits --wait seconds for its locks and for one of the host's
// K night slots (shared with nights started elsewhere with --at-once), and one that runs longer
// than --limit is ended (SIGTERM, SIGKILL 30 s later). The nights end with the runner: each is
// sent SIGTERM when the runner dies, however it dies (PR_SET_PDEATHSIG); a runner stopped by
// SIGINT, SIGTERM or SIGHUP starts no further night, ends the running ones and reports them.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "run/Night.h"
#include "run/ground/RunLog.h"
#include "run/ground/Settings.h"
#include "scan/Tgb_Param.h"
#include "tools/ctl.h"
#include "tools/ctl_files.h"
#include "tools/ctl_runlog.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultAtOnce = 2;
constexpr int kDefaultLimitSeconds = 6 * 3600;  // as the units' TimeoutStartSec
constexpr int kKillGraceSeconds = 30;           // between SIGTERM and SIGKILL
constexpr int kExitIncomplete = 1;

struct NightsOptions {
  std::vector<std::string> settings;
  int at_once = kDefaultAtOnce;
  std::string variant = "XXX";
  std::string join;
  std::string workdir;  // with %i for the settings file's name; empty: the settings file's dir
  std::string journal;
  int wait_s = kNightLockWaitSeconds;
  int limit_s = kDefaultLimitSeconds;
  std::string slots = kNightSlotsDir;
};

// One company's night: where it runs, then how it went.
struct Company {
  std::string settings, name, schema, dir;
  pid_t pid = -1;
  int out_fd = -1;  // the night's standard output and error (an unlinked file)
  Clock::time_point started{}, ended{}, signalled{};
  std::time_t wall_start = 0;
  int stage = 0;  // 0 running; 1 SIGTERM sent; 2 SIGKILL sent
  bool over_limit = false;
  int status = 0;
  double cpu_s = 0;
  bool ran = false, ok = false;
  std::string why;  // why the night is not counted as done
  CtlRun run;
  std::string params;  // its parameter file, when ok
};

volatile std::sig_atomic_t g_stop = 0;
void OnStop(int sig) { g_stop = sig; }

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string Replace(std::string s, const std::string& what, const std::string& by) {
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + by.size()))
    s.replace(at, what.size(), by);
  return s;
}

// The companies of the command line, each with its working directory; empty with `why` set when
// one cannot run: a settings file that is missing or none, a working directory that is missing,
// a settings file or a working directory named twice (two nights would mix their run logs and
// parameter files, and the joined file would hold one company twice).
std::vector<Company> Plan(const NightsOptions& o, std::string& why) {
  std::vector<Company> out;
  std::vector<std::pair<struct stat, struct stat>> seen;
  for (const std::string& given : o.settings) {
    Company c;
    std::error_code ec;
    c.settings = fs::absolute(given, ec).lexically_normal().string();
    struct stat file = {};
    struct stat dir = {};
    if (::stat(c.settings.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
      why = given + " is no settings file (missing, or not a regular file)";
      return {};
    }
    if (const std::string problem =
            Ctl_SettingsProblem(c.settings, {"LOGIN", "PASS", "NET8", "SCHEMA"});
        !problem.empty()) {
      why = problem;
      return {};
    }
    // The company's name: the settings file's (hr.ini: hr), or, where the settings file lies in
    // the working directory, that directory's (/srv/parvek/hr/parvek.ini: hr).
    const fs::path path(c.settings);
    c.name = o.workdir.empty() ? path.parent_path().filename().string() : path.stem().string();
    c.schema = Settings_Read(c.settings).SchemaName();
    c.dir = o.workdir.empty() ? path.parent_path().string()
                              : fs::absolute(Replace(o.workdir, "%i", c.name), ec).string();
    if (::stat(c.dir.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
      why = "the working directory " + c.dir + " of " + given + " is no directory";
      return {};
    }
    for (size_t i = 0; i < seen.size(); ++i) {
      if (SameFile(seen[i].first, file) || SameFile(seen[i].second, dir)) {
        why = given + " and " + o.settings[i] +
              (SameFile(seen[i].first, file) ? " are one settings file"
                                             : " share the working directory " + c.dir) +
              ": their nights would mix one run log and parameter file";
        return {};
      }
    }
    seen.emplace_back(file, dir);
    out.push_back(std::move(c));
  }
  return out;
}

// Starts the night of `c`: parvekctl itself (/proc/self/exe, the same program even when the file
// was replaced meanwhile) with the night command, in the company's working directory, standard
// input empty, standard output and error into a file of its own. False with `c.why` set.
bool Start(Company& c, const NightsOptions& o) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
                     "/parvekctl-nights-XXXXXX";
  c.out_fd = ::mkstemp(tmpl.data());
  if (c.out_fd < 0) {
    c.why = "no file for its output in " + tmpl.substr(0, tmpl.rfind('/')) + ": " +
            std::strerror(errno);
    return false;
  }
  ::unlink(tmpl.c_str());
  std::vector<std::string> args = {"parvekctl",
                                   "night",
                                   c.settings,
                                   o.variant,
                                   "D",
                                   "--wait",
                                   std::to_string(o.wait_s),
                                   "--at-once",
                                   std::to_string(o.at_once),
                                   "--slots",
                                   o.slots,
                                   "--slot-wait",
                                   std::to_string(o.wait_s)};
  if (!o.journal.empty()) args.insert(args.end(), {"--journal", o.journal});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  c.started = Clock::now();
  c.wall_start = std::time(nullptr);
  c.pid = ::fork();
  if (c.pid == 0) {
    // The night ends with the runner, however the runner ends.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(125);
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(c.out_fd, 1) < 0 || ::dup2(c.out_fd, 2) < 0)
      ::_exit(126);
    if (::chdir(c.dir.c_str()) != 0) {
      std::fprintf(stderr, "parvekctl: nights: cannot enter %s: %s\n", c.dir.c_str(),
                   std::strerror(errno));
      ::_exit(126);
    }
    ::execv("/proc/self/exe", argv.data());
    std::fprintf(stderr, "parvekctl: nights: cannot start the night: %s\n", std::strerror(errno));
    ::_exit(127);
  }
  if (c.pid < 0) {
    c.why = std::string("cannot start the night: ") + std::strerror(errno);
    ::close(c.out_fd);
    c.out_fd = -1;
    return false;
  }
  c.ran = true;
  return true;
}

// What the night wrote to standard output and error (at most 64 KiB of it).
std::string Output(Company& c) {
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  ::lseek(c.out_fd, 0, SEEK_SET);
  while (text.size() < 65536 && (n = ::read(c.out_fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  ::close(c.out_fd);
  c.out_fd = -1;
  return text;
}

// The last run of the run log in `dir`; false when there is none.
bool LastRun(const std::string& dir, CtlRun& last) {
  std::string why;
  std::FILE* in = Ctl_OpenRunLog(dir + "/" + kRunLogName, why);
  if (in == nullptr) return false;
  bool any = false;
  Ctl_EachRun(in, [&](const CtlRun& r) {
    last = r;
    any = true;
  });
  std::fclose(in);
  return any;
}

// Judges an ended night: its exit, then its run log and its parameter file.
void Judge(Company& c, const std::string& output, int stopped_by) {
  // The night's own refusal: its last line of parvekctl's.
  std::string said;
  for (size_t at = output.rfind("parvekctl: "); at != std::string::npos && said.empty();
       at = at == 0 ? std::string::npos : output.rfind("parvekctl: ", at - 1))
    if (at == 0 || output[at - 1] == '\n')
      said = output.substr(at + 11, output.find('\n', at) - at - 11);
  if (WIFSIGNALED(c.status)) {
    c.why = c.over_limit
                ? "ended after its limit (signal " + std::to_string(WTERMSIG(c.status)) + ")"
            : stopped_by != 0 ? "ended: the runner was stopped"
                              : "killed by signal " + std::to_string(WTERMSIG(c.status));
    return;
  }
  if (WEXITSTATUS(c.status) != 0) {
    c.why = !said.empty() ? said : "exit code " + std::to_string(WEXITSTATUS(c.status));
    return;
  }
  const std::string log = c.dir + "/" + kRunLogName;
  if (!LastRun(c.dir, c.run) || c.run.started < c.wall_start - 1) {
    c.why = "the run log " + log + " holds no run of this night";
    return;
  }
  if (Ctl_RecordedState(log, c.run.stamp) != "finished") {
    c.why = "the night did not record its end beside " + log;
    return;
  }
  if (c.run.connect_rc != 0) {
    c.why = "connect failed (RC:" + std::to_string(c.run.connect_rc) + ")";
    return;
  }
  if (c.run.errors > 0) {
    c.why = std::to_string(c.run.errors) +
            " error entries in the run log, the first: " + c.run.first_error;
    return;
  }
  const std::string param = c.dir + "/" + kParamFileName;
  struct stat st {};
  std::FILE* f = std::fopen(param.c_str(), "rb");
  if (f == nullptr || ::fstat(::fileno(f), &st) != 0 || st.st_mtime < c.wall_start - 1) {
    if (f != nullptr) std::fclose(f);
    c.why = "no parameter file " + param + " of this night";
    return;
  }
  char buf[65536];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) c.params.append(buf, n);
  const bool read_whole = std::ferror(f) == 0;
  std::fclose(f);
  if (!read_whole) {
    c.why = "the parameter file " + param + " could not be read whole";
    c.params.clear();
    return;
  }
  c.ok = true;
}

void Reap(std::vector<Company>& cs, pid_t pid, int status, const rusage& ru, int stopped_by) {
  for (Company& c : cs) {
    if (c.pid != pid) continue;
    c.ended = Clock::now();
    c.status = status;
    c.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    c.pid = -1;
    const std::string output = Output(c);
    size_t at = 0;
    while (at < output.size()) {
      const size_t nl = output.find('\n', at);
      const std::string line = output.substr(at, nl == std::string::npos ? nl : nl - at);
      if (!line.empty()) std::fprintf(stderr, "%s: %s\n", c.name.c_str(), line.c_str());
      at = nl == std::string::npos ? output.size() : nl + 1;
    }
    Judge(c, output, stopped_by);
    return;
  }
}

// Runs every night, at most `at_once` at a time, until all have ended.
void RunAll(std::vector<Company>& cs, const NightsOptions& o) {
  size_t next = 0;
  int running = 0;
  while (next < cs.size() || running > 0) {
    while (g_stop == 0 && running < o.at_once && next < cs.size()) {
      if (Start(cs[next], o)) ++running;
      ++next;
    }
    for (; g_stop != 0 && next < cs.size(); ++next)
      cs[next].why = "not started: the runner was stopped";
    int status = 0;
    rusage ru{};
    const pid_t pid = ::wait4(-1, &status, WNOHANG, &ru);
    if (pid > 0) {
      Reap(cs, pid, status, ru, g_stop);
      --running;
      continue;
    }
    if (pid < 0 && errno == ECHILD) break;  // none left (cannot happen while running > 0)
    const auto now = Clock::now();
    for (Company& c : cs) {
      if (c.pid <= 0) continue;
      const bool over = now - c.started > std::chrono::seconds(o.limit_s);
      if (c.stage == 0 && (g_stop != 0 || over)) {
        c.over_limit = over && g_stop == 0;
        ::kill(c.pid, SIGTERM);
        c.stage = 1;
        c.signalled = now;
      } else if (c.stage == 1 && now - c.signalled > std::chrono::seconds(kKillGraceSeconds)) {
        ::kill(c.pid, SIGKILL);
        c.stage = 2;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The most nights that ran at one time, from when each was started and reaped.
int MostAtOnce(const std::vector<Company>& cs) {
  std::vector<std::pair<Clock::time_point, int>> edges;
  for (const Company& c : cs) {
    if (!c.ran) continue;
    edges.emplace_back(c.started, 1);
    edges.emplace_back(c.ended, -1);
  }
  std::sort(edges.begin(), edges.end());  // an end sorts before a start at the same time
  int now = 0, most = 0;
  for (const auto& e : edges) most = std::max(most, now += e.second);
  return most;
}

// Writes the joined parameter file: whole, only when every night is done; otherwise the file is
// removed (a consumer never takes a short or an earlier night's list for tonight's) and the lines
// of the nights that are done go to FILE.incomplete. False with `why` set when it fails.
bool Join(const std::vector<Company>& cs, const std::string& path, bool complete,
          std::string& why) {
  std::string text;
  for (const Company& c : cs)
    if (c.ok) text += c.params;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const std::string target = complete ? path : path + ".incomplete";
  const std::string other = complete ? path + ".incomplete" : path;
  if (::unlink(other.c_str()) != 0 && errno != ENOENT) {
    why = "cannot remove " + other + ": " + std::strerror(errno);
    return false;
  }
  if (!Ctl_ReplaceFile(target, text, 0666 & ~mask, true)) {
    why = "cannot write " + target + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

int Nights(const NightsOptions& o) {
  if (!o.join.empty() && o.variant != "KRVNT")
    return Ctl_Fail("nights: --join needs --variant KRVNT: only its lines name their schema");
  std::string why;
  std::vector<Company> cs = Plan(o, why);
  if (cs.empty()) return Ctl_Fail("nights: " + why + "; no night was started");
  std::vector<std::pair<int, struct sigaction>> old;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction sa {
    }, was{};
    sa.sa_handler = OnStop;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(sig, &sa, &was);
    old.emplace_back(sig, was);
  }
  const auto begun = Clock::now();
  RunAll(cs, o);
  const auto done = Clock::now();
  for (auto& [sig, was] : old) ::sigaction(sig, &was, nullptr);

  std::vector<std::string> failed;
  long long lines = 0;
  for (const Company& c : cs) {
    const long long n = std::count(c.params.begin(), c.params.end(), '\n');
    lines += n;
    if (!c.ok) failed.push_back(c.name);
    std::printf(
        "%-16s %-12s %-6s  start %8.3f s  took %8.3f s  cpu %7.3f s  %6d follow-ups  %6lld "
        "lines%s%s\n",
        c.name.c_str(), c.schema.c_str(), c.ok ? "ok" : "FAILED",
        c.ran ? Seconds(begun, c.started) : 0.0, c.ran ? Seconds(c.started, c.ended) : 0.0, c.cpu_s,
        c.run.followups, n, c.ok ? "" : "  ", c.why.c_str());
  }
  std::string joined;
  bool join_ok = true;
  if (!o.join.empty()) {
    join_ok = Join(cs, o.join, failed.empty(), why);
    joined = !join_ok         ? "; " + why
             : failed.empty() ? "; " + std::to_string(lines) + " lines joined into " + o.join
                              : "; " + o.join + " not written, the " + std::to_string(lines) +
                                    " lines of the nights done are in " + o.join + ".incomplete";
  }
  std::string names;
  for (const std::string& n : failed) names += (names.empty() ? "" : ", ") + n;
  std::printf("total: %zu nights, %zu ok, %zu failed%s; at most %d at once, %.3f s%s\n", cs.size(),
              cs.size() - failed.size(), failed.size(),
              failed.empty() ? "" : (" (" + names + ")").c_str(), MostAtOnce(cs),
              Seconds(begun, done), joined.c_str());
  std::fflush(stdout);
  return failed.empty() && join_ok ? 0 : kExitIncomplete;
}

const CtlCommand kNights(
    "nights",
    "Run the nights of many companies, at most K at a time, and join their parameter files",
    [](CtlArgs& args) {
      auto o = std::make_shared<NightsOptions>();
      args.Texts("SETTINGS_FILE", o->settings, "The companies' settings files, in order", true)
          .Number("--at-once", o->at_once, 1, 64,
                  "Nights running at the same time, at most (default 2)")
          .Text("--variant", o->variant,
                "Output variant of every night (KRVNT or XXX, default XXX)")
          .Text("--join", o->join,
                "With --variant KRVNT: write the companies' parameter lines, in the order of the "
                "settings files, into this file once every night is done")
          .Text("--workdir", o->workdir,
                "Each night's working directory, %i standing for its settings file's name without "
                "extension (/var/lib/parvek-%i); default: the settings file's directory")
          .Text("--journal", o->journal,
                "Each night's journal directory, relative to its working directory (see night)")
          .Number(
              "--wait", o->wait_s, 0, 24 * 3600,
              "Seconds each night waits for its locks and its slot before it is refused (default "
              "660)")
          .Number("--limit", o->limit_s, 1, 7 * 24 * 3600,
                  "Seconds after which a night still running is ended (default 21600)")
          .Text("--slots", o->slots,
                "Directory of this host's night slots, shared with the units' nights (default "
                "/run/lock)")
          .Footer(
              "Each night is 'parvekctl night SETTINGS_FILE VARIANT D --at-once K' in its working "
              "directory, with its locks and one of the host's K night slots. Exit code 0 when "
              "every night is done (and the joined file written), "
              "1 when a night failed or was refused (named in its line; the joined file is then "
              "not written and FILE.incomplete holds the lines of the nights done), 2 when nothing "
              "was started.");
      return [o] { return Nights(*o); };
    });

}  // namespace
