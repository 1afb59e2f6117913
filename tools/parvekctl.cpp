#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/ctl.h"

#ifndef PARVEK_VERSION
#error "PARVEK_VERSION must hold the project's version"
#endif

namespace {

struct Entry {
  std::string summary;
  CtlCommand::Setup setup;
};

std::map<std::string, Entry>& Registry() {
  static std::map<std::string, Entry> registry;
  return registry;
}

}  // namespace

CtlCommand::CtlCommand(const char* name, const char* summary, Setup setup) {
  Registry()[name] = Entry{summary, std::move(setup)};
}

int Ctl_Fail(const std::string& message) {
  std::fprintf(stderr, "parvekctl: %s\n", message.c_str());
  return 2;
}

int main(int argc, char** argv) {
  CLI::App app("Companion of the nightly job parvek: settings files, schemas, demo and test data.",
               "parvekctl");
  app.set_version_flag("--version", "parvekctl " PARVEK_VERSION, "Print the version and exit");
  app.require_subcommand(1);
  std::map<const CLI::App*, CtlCommand::Run> runs;
  for (const auto& [name, entry] : Registry()) {
    CLI::App* sub = app.add_subcommand(name, entry.summary);
    runs[sub] = entry.setup(*sub);
  }
  app.footer("Run 'parvekctl COMMAND --help' for the operands and options of a command.");

  std::vector<std::string> args(argv + 1, argv + argc);
  // "parvekctl help [COMMAND]" as an alias of "parvekctl [COMMAND] --help".
  if (!args.empty() && args[0] == "help") {
    args.erase(args.begin());
    args.push_back("--help");
  }
  if (args.empty()) {
    std::fputs(app.help().c_str(), stderr);
    return 2;
  }
  if (args[0][0] != '-' && Registry().count(args[0]) == 0)
    return Ctl_Fail("unknown command '" + args[0] + "' (see parvekctl --help)");
  if (args[0][0] == '-' && args[0] != "--help" && args[0] != "-h" && args[0] != "--version")
    return Ctl_Fail("unknown option '" + args[0] + "' before the command (see parvekctl --help)");
  std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version: standard output
    const auto chosen = app.get_subcommands();
    const std::string name = chosen.empty() ? std::string() : chosen[0]->get_name();
    Ctl_Fail((name.empty() ? "" : name + ": ") + e.what() + " (see parvekctl " +
             (name.empty() ? "" : name + " ") + "--help)");
    return 2;
  }
  return runs.at(app.get_subcommands().at(0))();
}
