#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tools/ctl.h"

namespace {

struct Entry {
  std::string usage;
  CtlCommand::Fn fn;
};

std::map<std::string, Entry>& Registry() {
  static std::map<std::string, Entry> registry;
  return registry;
}

int Help() {
  std::printf("Aufruf: parvekctl COMMAND [ARGS...]\n\nCommands:\n");
  for (const auto& [name, entry] : Registry()) std::printf("  %s\n", entry.usage.c_str());
  return 0;
}

}  // namespace

CtlCommand::CtlCommand(const char* name, const char* usage, Fn fn) {
  Registry()[name] = Entry{usage, fn};
}

int Ctl_Fail(const std::string& message) {
  std::fprintf(stderr, "parvekctl: %s\n", message.c_str());
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    Help();
    return 2;
  }
  const std::string name = argv[1];
  if (name == "help" || name == "--help" || name == "-h") return Help();
  auto it = Registry().find(name);
  if (it == Registry().end()) return Ctl_Fail("unknown command '" + name + "' (see parvekctl help)");
  return it->second.fn(std::vector<std::string>(argv + 2, argv + argc));
}
