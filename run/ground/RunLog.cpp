#include "run/ground/RunLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

RunFlagsRec RunFlags;

namespace {
std::FILE* g_log = nullptr;
int g_file_failures = 0;

// Each entry reaches the file at once: when the process dies later in the run, what was
// logged before stays in the run log, which is the only place failures are reported.
// The values come from the database and the settings file: a control byte among them is
// written as '?', so that no value starts a line of its own or reaches a terminal as a
// command. The line feed that ends the entry stays.
void WriteValues(const char* message, const char* values_fmt, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, values_fmt, args);
  std::string values;
  if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
    values.assign(small, static_cast<std::size_t>(n));
  } else if (n > 0) {
    values.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(values.data(), values.size(), values_fmt, again);
    values.resize(static_cast<std::size_t>(n));
  }
  va_end(again);
  const std::size_t keep_end =
      !values.empty() && values.back() == '\n' ? values.size() - 1 : values.size();
  for (std::size_t i = 0; i < keep_end; ++i) {
    const unsigned char c = static_cast<unsigned char>(values[i]);
    if (c < 0x20 || c == 0x7F) values[i] = '?';
  }
  const bool put = std::fputs(message, g_log) != EOF;
  const bool wrote = std::fwrite(values.data(), 1, values.size(), g_log) == values.size();
  if (!put || !wrote || std::fflush(g_log) != 0) Log_NoteFileFailure();
}
}  // namespace

std::FILE* Run_OpenJobFile(const char* path, bool append) {
  const std::string name = path;
  const std::size_t slash = name.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  struct stat d {};
  const bool foreign = ::geteuid() == 0 && ::stat(dir.c_str(), &d) == 0 && d.st_uid != 0;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0) |
                                  (foreign ? O_NOFOLLOW : 0),
                        0666);
  if (fd < 0) return nullptr;
  struct stat f {};
  bool ok = ::fstat(fd, &f) == 0;
  if (ok && foreign) {
    ok = S_ISREG(f.st_mode) && f.st_nlink == 1 &&
         ((f.st_uid == d.st_uid && f.st_gid == d.st_gid) || ::fchown(fd, d.st_uid, d.st_gid) == 0);
  }
  if (ok && !append && S_ISREG(f.st_mode)) ok = ::ftruncate(fd, 0) == 0;
  std::FILE* file = ok ? ::fdopen(fd, append ? "a" : "w") : nullptr;
  if (file == nullptr) ::close(fd);
  return file;
}

void Log_NoteFileFailure() { ++g_file_failures; }

int Log_FileFailures() { return g_file_failures; }

int Log_Open(const char* path) {
  Log_Close();
  g_file_failures = 0;
  g_log = Run_OpenJobFile(path, true);
  if (g_log == nullptr) return 0;
  // The size is tested once, at start; a log that grows past the limit during a run is
  // started afresh at the next start.
  if (std::fseek(g_log, 0, SEEK_END) == 0 && std::ftell(g_log) > kRunLogLimit) {
    std::fclose(g_log);
    std::remove(path);
    g_log = Run_OpenJobFile(path, true);
  }
  if (g_log == nullptr) Log_NoteFileFailure();
  return g_log != nullptr ? 1 : 0;
}

void Log_Close() {
  if (g_log != nullptr && std::fclose(g_log) != 0) Log_NoteFileFailure();
  g_log = nullptr;
}

int Log_IsOpen() { return g_log != nullptr ? 1 : 0; }

int Log_Enabled() { return (g_log != nullptr && RunFlags.verbose == 1) ? 1 : 0; }

void Log_Entry(const char* message, const char* values_fmt, ...) {
  if (!Log_Enabled()) return;
  va_list args;
  va_start(args, values_fmt);
  WriteValues(message, values_fmt, args);
  va_end(args);
}

void Log_Line(const char* line) {
  if (!Log_Enabled()) return;
  if (std::fputs(line, g_log) == EOF || std::fflush(g_log) != 0) Log_NoteFileFailure();
}

void Log_EntryAlways(const char* message, const char* values_fmt, ...) {
  if (g_log == nullptr) return;
  va_list args;
  va_start(args, values_fmt);
  WriteValues(message, values_fmt, args);
  va_end(args);
}

void Dbg_Printf(const char* fmt, ...) {
  if (RunFlags.debug != 1) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stdout, fmt, args);
  va_end(args);
}
