// Helpers of the hardening tests: temporary working directories, settings files, and running
// the real program (or its test build) as a child process.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tools/settings_record.h"

namespace pvt {
class TempSchema;
struct Backend;
}  // namespace pvt

namespace hard {

using pvt::TempDir;

using ::ReadFile;
void WriteFile(const std::string& path, const std::string& content);

using pvt::Result;

// Runs `program` with `args` in working directory `cwd` through the tests' one process runner
// (tests/support/process.h), with `env` added and the output files in `io_dir` (default: `cwd`).
Result Run(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
           const std::map<std::string, std::string>& env = {}, const std::string& io_dir = "");
// Starts the same way without waiting. Returns the process id, or -1.
pid_t Start(const std::string& program, const std::string& cwd,
            const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env = {}, const std::string& io_dir = "");
// Waits for a started program; `io_dir` as given to Start (or the `cwd` given there). With
// `timeout_s` above 0, a program still running then is killed (Result.signal SIGKILL).
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
  Result RunJob(const std::string& program,
                const std::map<std::string, std::string>& env = {}) const;
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
