#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

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

// --- CtlArgs: the one place that uses CLI11 ---

namespace {

// CLI11 gives an option the next argument as its value even when that is another option: so
// "--login --pass p" would log on as "--pass". The names of these options are refused as values.
const CLI::Validator kNotAnOption(
    [](std::string& v) {
      for (const char* name : {"--login", "--pass", "--pass-stdin", "--settings", "--help", "-h"})
        if (v == name) return "needs a value, not the option " + v;
      return std::string();
    },
    "");

// A fraction from 0 to 1 (NaN refused).
const CLI::Validator kFraction(
    [](std::string& v) {
      double x = -1;
      if (!CLI::detail::lexical_cast(v, x) || !(x >= 0 && x <= 1))
        return std::string("a fraction from 0 to 1");
      return std::string();
    },
    "FRACTION");

}  // namespace

CtlArgs& CtlArgs::Text(const char* name, std::string& value, const char* help, bool required) {
  app_->add_option(name, value, help)->required(required);
  return *this;
}

CtlArgs& CtlArgs::Texts(const char* name, std::vector<std::string>& values, const char* help,
                        bool required) {
  app_->add_option(name, values, help)->required(required);
  return *this;
}

CtlArgs& CtlArgs::Number(const char* name, int64_t& value, int64_t lo, int64_t hi, const char* help,
                         bool required) {
  app_->add_option(name, value, help)->required(required)->check(CLI::Range(lo, hi));
  return *this;
}

CtlArgs& CtlArgs::Number(const char* name, int& value, int lo, int hi, const char* help,
                         bool required) {
  app_->add_option(name, value, help)->required(required)->check(CLI::Range(lo, hi));
  return *this;
}

CtlArgs& CtlArgs::Fraction(const char* name, double& value, const char* help) {
  app_->add_option(name, value, help)->check(kFraction);
  return *this;
}

CtlArgs& CtlArgs::Flag(const char* name, bool& value, const char* help) {
  app_->add_flag(name, value, help);
  return *this;
}

CtlArgs& CtlArgs::NotEmpty(const char* name, bool& given) {
  app_->get_option(name)
      ->check(CLI::Validator(
          [](std::string& value) { return value.empty() ? std::string("an empty value") : ""; },
          "", "NotEmpty"))
      ->each([&given](const std::string&) { given = true; });
  return *this;
}

CtlArgs& CtlArgs::Excludes(const char* a, const char* b) {
  app_->get_option(a)->excludes(app_->get_option(b));
  return *this;
}

CtlArgs& CtlArgs::Footer(const std::string& text) {
  app_->footer(text);
  return *this;
}

bool CtlArgs::Given(const char* name) const { return app_->get_option(name)->count() > 0; }

void Ctl_AddTarget(CtlArgs& args, CtlTarget& t, CtlOperands operands) {
  CLI::App& cmd = *args.app_;
  cmd.add_option("NET8", t.net,
                 "Net service name of the database (sqlite:DIR or a postgresql:// URI)");
  if (operands == CtlOperands::kNetAndSchema) cmd.add_option("SCHEMA", t.schema, "Schema name");
  CLI::Option* login =
      cmd.add_option("--login", t.login, "Database user name (for a database server)")
          ->check(kNotAnOption);
  CLI::Option* pass = cmd.add_option("--pass", t.pass,
                                     "Password; shows in the process list, prefer --pass-stdin or "
                                     "the environment variable PARVEK_PASS")
                          ->check(kNotAnOption);
  CLI::Option* pass_stdin = cmd.add_flag("--pass-stdin", t.pass_stdin,
                                         "Read the password as one line from standard input");
  pass_stdin->excludes(pass);
  CLI::Option* settings =
      cmd.add_option("--settings", t.settings,
                     "Take NET8, LOGIN, PASS and SCHEMA from this settings file of the job instead")
          ->check(kNotAnOption)
          ->check(CLI::ExistingFile);
  // NET8 and SCHEMA given beside --settings are refused by Ctl_ResolveTarget, with a message
  // that says where another operand belongs.
  for (CLI::Option* o : {login, pass, pass_stdin}) settings->excludes(o);
}

int main(int argc, char** argv) {
  CLI::App app("Companion of the nightly job parvek: settings files, schemas, demo and test data.",
               "parvekctl");
  app.set_version_flag("--version", "parvekctl " PARVEK_VERSION, "Print the version and exit");
  app.require_subcommand(1);
  std::map<const CLI::App*, CtlCommand::Run> runs;
  for (const auto& [name, entry] : Registry()) {
    CLI::App* sub = app.add_subcommand(name, entry.summary);
    CtlArgs declare(*sub);
    runs[sub] = entry.setup(declare);
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
