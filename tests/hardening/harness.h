// Helpers of the hardening tests: temporary working directories, settings files, and running
// the real program (or its test build) as a child process.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/settings_record.h"

namespace pvt {
class TempSchema;
struct Backend;
}  // namespace pvt

namespace hard {

// A fresh directory under TMPDIR (or /tmp), removed with its content by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);


struct Result {
  int exited = 0;       // 1 when the program ended by itself
  int code = -1;        // its exit code
  int signal = 0;       // the signal that ended it, if any
  std::string out, err; // standard output and standard error
};

// Runs `program` with `args` in working directory `cwd`, with PARVEK_DBG removed from the
// environment and `env` added; waits for it. Standard output and error are caught in files
// "stdout.txt" and "stderr.txt" of `io_dir` (default: `cwd`).
Result Run(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
           const std::map<std::string, std::string>& env = {}, const std::string& io_dir = "");
// Starts the same way without waiting. Returns the process id, or -1.
pid_t Start(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env = {}, const std::string& io_dir = "");
// Waits for a started program; `io_dir` as given to Start. With `timeout_s` above 0, a
// program still running then is killed (Result.signal SIGKILL).
Result Wait(pid_t pid, const std::string& io_dir, int timeout_s = 0);

// Fixture SQL: message types KRA (illness, follow-up KRF) and KRF, a working-time
// working-time plan VZ40 (target 480); and a person ill the day before the accounting day, with
// the accounting day's placeholder and VZ40 assigned.
std::string IllTypes();
std::string IllPerson(const std::string& pnr);
// The accounting day's bookings of `pnr` as "Fkt|Fcd" lines, ordered.
std::string BookingsOf(const std::string& pnr);

// Runs SQL directly on a SQLite schema file, CHECK constraints switched off, as a program that
// does not keep the schema's rules would. 0 or the engine's code; `why` gets its message.
int RawSqlite(const std::string& file, const std::string& sql, std::string& why);
// Result of "PRAGMA integrity_check" on a SQLite file ("ok" when sound).
std::string IntegrityCheck(const std::string& file);

// One night's setting: a fresh schema with fixture rows, a working directory and, in it, a
// settings file "settings.ini" that names the schema.
class Night {
 public:
  Night();
  ~Night();
  // 0 when the schema was made and the rows went in; otherwise the code, reason in `why`.
  int Setup(const pvt::Backend& b, const std::string& rows, std::string& why);
  pvt::TempSchema& db() { return *db_; }
  const TempDir& work() const { return work_; }
  std::string settings_path() const { return work_ / "settings.ini"; }
  // The settings file text that names the schema.
  std::string GoodSettings() const;
  // SQLite: the schema file.
  std::string file() const;
  // Runs `program` (default: the job) in the working directory with settings.ini, "XXX", "D".
  Result RunJob(const std::string& program, const std::map<std::string, std::string>& env = {}) const;
  std::string Log() const { return ReadFile(work_ / "parvek.log"); }

 private:
  std::unique_ptr<pvt::TempSchema> db_;
  TempDir work_;
};

// The lines of a text, without their line feeds.
std::vector<std::string> Lines(const std::string& text);
// Number of lines of `text` that contain `part`.
int CountLines(const std::string& text, const std::string& part);

}  // namespace hard
