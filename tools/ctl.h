// Companion program parvekctl: operators' tools beside the job (settings files, schemas,
// demo and benchmark data). Each command lives in its own cmd_*.cpp file and registers
// itself with a static CtlCommand.
#pragma once

#include <string>
#include <vector>

struct CtlCommand {
  using Fn = int (*)(const std::vector<std::string>& args);
  // Registers the command; `usage` is one line shown by "parvekctl help".
  CtlCommand(const char* name, const char* usage, Fn fn);
};

// Prints "parvekctl: " and the message to standard error; returns 2 for use as an exit code.
int Ctl_Fail(const std::string& message);
