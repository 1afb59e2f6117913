// Process-wide run flags, the run log "parvek.log" and debug output.
//
// RunFlags are set once by the program entry before anything else runs and are
// read-only afterwards. Every other module writes the run log only through the
// functions below, which apply the one rule of the job: an entry is written only
// when the run log is open and RunFlags.verbose is 1.
#pragma once

#include <cstdio>

#define PARVEK_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

struct RunFlagsRec {
  int verbose = 0;        // Param3 begins with an upper-case 'D'
  int debug = 0;          // PARVEK_DBG is defined (any value, empty included)
  int consolidation = 0;  // Param2 is exactly "KRVNT"
};
extern RunFlagsRec RunFlags;

// Name of the run log in the working directory and the size past which it is started afresh.
inline constexpr const char* kRunLogName = "parvek.log";
inline constexpr long kRunLogLimit = 1048576L;

// Opens one of the job's files for writing (appending, or from empty), as fopen does. Run by
// root in a directory that another user owns (a catch-up run by an operator in the job's
// working directory), the file is handed to that user and the directory's group, so that the
// job's own user can still write it in the next night; there a symbolic link, a file with
// other hard links or anything but a regular file is refused (nullptr, as a failed fopen), so
// that root never writes or hands over a file elsewhere.
std::FILE* Run_OpenJobFile(const char* path, bool append);

// Opens the run log for appending at `path`; deletes and re-creates it when it is larger
// than kRunLogLimit bytes. Returns 1 when a run log is open afterwards, 0 when not (the run
// goes on without one).
int Log_Open(const char* path);
// Closes the run log if open.
void Log_Close();
// 1 when the run log is open.
int Log_IsOpen();
// 1 when an entry would be written: the run log is open and RunFlags.verbose is 1.
int Log_Enabled();

// One run-log entry in two writes: the message (ending in a blank, no line feed), then the
// values line formatted from `values_fmt` (ending in "\n"). Written only when Log_Enabled().
// Every entry is flushed to the file before the call returns.
void Log_Entry(const char* message, const char* values_fmt, ...) PARVEK_PRINTF(2, 3);
// A single-line entry (for example "Fehler: fopen(parvektgb)!\n"). Written only when Log_Enabled().
void Log_Line(const char* line);
// The one exception to the rule: written whenever the run log is open, whatever
// RunFlags.verbose is (the refusal under the target-time check).
void Log_EntryAlways(const char* message, const char* values_fmt, ...) PARVEK_PRINTF(2, 3);

// Notes that one of the job's files (the run log, the parameter file) could not be opened,
// written or closed; the night goes on as before. Log_FileFailures counts them since the last
// Log_Open, so that a caller that reads the files back (the preview) knows they are not whole.
void Log_NoteFileFailure();
int Log_FileFailures();

// Debug output on standard output, only when RunFlags.debug is 1. Never goes to the run log.
void Dbg_Printf(const char* fmt, ...) PARVEK_PRINTF(1, 2);
