// Running the real programs from tests: one way for every test that starts `parvek`,
// `parvekctl` or a test build of the job.
//
//   pvt::TempDir work;
//   const pvt::Result r = pvt::Run(PARVEK_BIN, work.path(), {"settings.ini", "XXX", "D"});
//   EXPECT_EQ(r.code, 0);
//   EXPECT_EQ(r.err, "");
//
// The program runs in its own working directory with PARVEK_DBG and PARVEK_PASS removed from
// the environment (the job's debug switch, parvekctl's password source) and SIGPIPE at its default
// (as a shell starts a program), the given variables added, the given text on standard input, and
// its standard output and error caught in the files "stdout.txt" and "stderr.txt" of `io_dir`.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace pvt {

// A fresh directory under TMPDIR (or /tmp), removed with its content by the destructor, also
// when a test left it without write permission.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Leaves the directory in place for a look after the test, and says where it is.
  void Keep();

 private:
  std::string path_;
  bool keep_ = false;
};

struct Result {
  int exited = 0;        // 1 when the program ended by itself
  int code = -1;         // its exit code (-1 when it did not end by itself)
  int signal = 0;        // the signal that ended it, if any
  std::string out, err;  // standard output and standard error
};

struct RunOptions {
  std::map<std::string, std::string> env;  // variables added to the environment
  std::string input;                       // standard input (empty: an empty input)
  std::string io_dir;                      // where the output files go (default: the cwd)
  int timeout_s = 0;           // above 0: a program still running after so many seconds is killed
  bool stdout_unread = false;  // standard output a pipe whose reader is gone (writes fail)
};

// Starts `program` with `args` in `cwd` without waiting. Returns the process id, or -1.
pid_t Start(const std::string& program, const std::string& cwd,
            const std::vector<std::string>& args, const RunOptions& options = {});
// Waits for a started program; `options` as given to Start. A program killed for its
// `timeout_s` shows as Result.signal SIGKILL.
Result Wait(pid_t pid, const std::string& cwd, const RunOptions& options = {});
// Start and Wait.
Result Run(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
           const RunOptions& options = {});

// The blank-separated words of `words`, as arguments ("gen sqlite:/d S --persons 3").
std::vector<std::string> Words(const std::string& words);

}  // namespace pvt
