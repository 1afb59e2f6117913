// Files that parvekctl writes whole for others to read (a collector's metrics, the companies'
// joined parameter file): a reader sees the old file or the new one, never half of one.
#pragma once

#include <sys/types.h>

#include <string>

// Writes `text` into a new file of a unique name beside `path` (mkstemp: never a file or link
// that was there before), with mode `mode`; with `durable`, syncs it and then, after the rename,
// the directory. Renames it over `path`. True when `path` holds `text`; false with errno set
// (the new file is removed, `path` is left as it was).
bool Ctl_ReplaceFile(const std::string& path, const std::string& text, mode_t mode, bool durable);
