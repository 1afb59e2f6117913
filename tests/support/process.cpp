#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/files.h"

extern char** environ;

namespace pvt {
namespace {

std::string IoDir(const std::string& cwd, const RunOptions& o) {
  return o.io_dir.empty() ? cwd : o.io_dir;
}

[[noreturn]] void Exec(const std::string& program, const std::string& cwd,
                       const std::vector<std::string>& args, const RunOptions& o, int in_fd,
                       int out_fd, int err_fd) {
  if (::chdir(cwd.c_str()) != 0) ::_exit(126);
  ::unsetenv("PARVEK_DBG");
  ::unsetenv("PARVEK_PASS");
  ::signal(SIGPIPE, SIG_DFL);
  for (const auto& [k, v] : o.env) ::setenv(k.c_str(), v.c_str(), 1);
  ::dup2(in_fd, 0);
  ::dup2(out_fd, 1);
  ::dup2(err_fd, 2);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execve(program.c_str(), argv.data(), environ);
  ::_exit(127);
}

}  // namespace

TempDir::TempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/parvek-test-XXXXXX";
  if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
}

void TempDir::Keep() {
  keep_ = true;
  std::fprintf(stderr, "kept %s\n", path_.c_str());
}

TempDir::~TempDir() {
  if (path_.empty() || keep_) return;
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

pid_t Start(const std::string& program, const std::string& cwd,
            const std::vector<std::string>& args, const RunOptions& o) {
  const std::string io = IoDir(cwd, o);
  // Standard input comes from a file of its own, removed once the child holds it open.
  const std::string in = io + "/stdin.txt";
  std::ofstream(in, std::ios::binary) << o.input;
  const int in_fd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
  ::unlink(in.c_str());
  int out_fd = -1;
  if (o.stdout_unread) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      ::close(fds[0]);
      out_fd = fds[1];
    }
  } else {
    out_fd = ::open((io + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  const int err_fd =
      ::open((io + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = -1;
  if (in_fd >= 0 && out_fd >= 0 && err_fd >= 0) {
    pid = ::fork();
    if (pid == 0) Exec(program, cwd, args, o, in_fd, out_fd, err_fd);
  }
  for (int fd : {in_fd, out_fd, err_fd})
    if (fd >= 0) ::close(fd);
  return pid;
}

Result Wait(pid_t pid, const std::string& cwd, const RunOptions& o) {
  Result r;
  int status = 0;
  bool reaped = false;
  for (int waited_ms = 0; pid > 0 && o.timeout_s > 0; waited_ms += 50) {
    reaped = ::waitpid(pid, &status, WNOHANG) == pid;
    if (reaped) break;
    if (waited_ms >= o.timeout_s * 1000) {
      ::kill(pid, SIGKILL);
      break;
    }
    ::usleep(50 * 1000);
  }
  if (pid > 0 && !reaped) reaped = ::waitpid(pid, &status, 0) == pid;
  if (reaped) {
    r.exited = WIFEXITED(status) ? 1 : 0;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  const std::string io = IoDir(cwd, o);
  if (!o.stdout_unread) r.out = ReadFile(io + "/stdout.txt");
  r.err = ReadFile(io + "/stderr.txt");
  return r;
}

Result Run(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
           const RunOptions& o) {
  return Wait(Start(program, cwd, args, o), cwd, o);
}

std::vector<std::string> Words(const std::string& words) {
  std::vector<std::string> out;
  for (size_t at = 0, end; at < words.size(); at = end + 1) {
    end = words.find(' ', at);
    if (end == std::string::npos) end = words.size();
    if (end > at) out.push_back(words.substr(at, end - at));
  }
  return out;
}

}  // namespace pvt
