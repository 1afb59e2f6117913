// A preview of a night: the night runs against the real database in one transaction that is
// rolled back (NightMode::kPreview), with its run log and parameter file in a private directory
// that is read back and removed whichever way the preview ends. parvekctl night --preview shows
// the whole night so, parvekctl explain one person's.
#pragma once

#include <string>
#include <vector>

#include "run/Night.h"

// The exit code of a preview that a night of its database ended.
inline constexpr int kExitPreviewEnded = 3;

struct PreviewResult {
  int rc = 0;                       // Night_Run's code (0: the preview ran and was undone)
  std::string refusal;              // Night_Run's refusal in words
  std::vector<std::string> log;     // the run log's entries
  std::vector<std::string> params;  // the parameter file's lines
};

// Runs `night` as a preview for parvekctl's command `who` ("night", "explain"), bounded by
// `max_seconds`, ended by a night of its database (SIGUSR1) or by SIGINT, SIGTERM, SIGHUP.
// Returns 0 when it ran to its end (`r` then holds what it left, r.rc why it did not run), or
// the exit code after a line on standard error: kExitPreviewEnded when a night ended it, 2 when
// it could not connect, could not make its private directory or could not read its files back
// whole (a full file system would show short lists). Directories of earlier previews that were
// killed are removed first.
int Preview_Run(NightContext& night, const char* who, int max_seconds, PreviewResult& r);
