// Companion program parvekctl: operators' tools beside the job (settings files, schemas,
// demo and benchmark data). Each command lives in its own cmd_*.cpp file and registers itself
// with a static CtlCommand. The command line is parsed by CLI11, which only parvekctl.cpp
// includes (it is heavy to compile); commands declare their operands through CtlArgs.
//
// Exit codes: 0 done; 2 a wrong command line (with a message and a pointer to --help) or a
// failure that left nothing changed; a command may name others (schema-check: 1).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "run/ground/AccountingDay.h"
#include "run/ground/DatabaseIdentity.h"

namespace CLI {
class App;
}
namespace pvc {
class Session;
struct OpInfo;
}  // namespace pvc

struct CtlTarget;
enum class CtlOperands;

// The operands and options of one command. A name beginning with "--" declares an option,
// any other name an operand (operands are taken in the order declared). Values are checked
// while parsing: a wrong one is refused with a message and exit code 2.
class CtlArgs {
 public:
  explicit CtlArgs(CLI::App& app) : app_(&app) {}
  CtlArgs& Text(const char* name, std::string& value, const char* help, bool required = false);
  // An operand that takes every remaining operand, in order.
  CtlArgs& Texts(const char* name, std::vector<std::string>& values, const char* help,
                 bool required = false);
  CtlArgs& Number(const char* name, int64_t& value, int64_t lo, int64_t hi, const char* help,
                  bool required = false);
  CtlArgs& Number(const char* name, int& value, int lo, int hi, const char* help,
                  bool required = false);
  CtlArgs& Fraction(const char* name, double& value, const char* help);  // from 0 to 1
  CtlArgs& Flag(const char* name, bool& value, const char* help);
  // The two named operands or options must not be given together.
  CtlArgs& Excludes(const char* a, const char* b);
  // The named option, added before, refuses an empty value; `given` tells whether it was given.
  CtlArgs& NotEmpty(const char* name, bool& given);
  CtlArgs& Footer(const std::string& text);
  // After parsing: whether `name` was given on the command line.
  bool Given(const char* name) const;

 private:
  friend void Ctl_AddTarget(CtlArgs& args, CtlTarget& t, CtlOperands operands);
  CLI::App* app_;
};

struct CtlCommand {
  using Run = std::function<int()>;
  // Declares the command's operands and options and returns what runs the command once the
  // whole command line has been parsed; it returns the exit code.
  using Setup = std::function<Run(CtlArgs& args)>;
  CtlCommand(const char* name, const char* summary, Setup setup);
};

// Prints "parvekctl: " and the message to standard error; returns 2 for use as an exit code.
int Ctl_Fail(const std::string& message);

// Where a command connects: NET8 (and SCHEMA) as operands with --login/--pass, or all of them
// from a settings file of the job (--settings).
struct CtlTarget {
  std::string net, schema, login, pass;
  std::string settings;  // --settings FILE
  bool pass_stdin = false;
};

enum class CtlOperands {
  kNetAndSchema,  // NET8 SCHEMA
  kNetOnly,       // [NET8]: the command names its schema itself
};

// Declares the operands and --login, --pass, --pass-stdin and --settings.
void Ctl_AddTarget(CtlArgs& args, CtlTarget& t, CtlOperands operands);

// Completes a parsed target: NET8, LOGIN, PASS and SCHEMA from the settings file (read as the
// job reads them), else the password from standard input (--pass-stdin) or from PARVEK_PASS
// when --pass was not given. 0, or 2 after a message when something is missing.
int Ctl_ResolveTarget(const std::string& command, CtlTarget& t, CtlOperands operands);

// Logs on to t.net and makes t.schema the session's schema. 0, or the failing code with the
// reason in `why`.
int Ctl_OpenSchema(const CtlTarget& t, std::unique_ptr<pvc::Session>& s, std::string& why);

// Runs every statement of the job that needs no row of its own once with harmless values,
// each inside a savepoint that is rolled back, and hands each one's code to `each` (with the
// engine's message when it failed; 0 and 1403 mean the statement runs). Returns how many failed.
using CtlProbeResult =
    std::function<void(const pvc::OpInfo& info, int rc, const std::string& message)>;
int Ctl_ProbeStatements(pvc::Session& s, const CtlProbeResult& each);

// The database's yesterday by its own clock (the accounting day of a night started now); none
// when the database's date cannot be read.
std::optional<AccountingDay> Ctl_DatabaseYesterday(pvc::Session& s);

// The identity of the database and schema `s` works on (run/ground/DatabaseIdentity.h); not
// known when the database does not answer.
DatabaseIdentity Ctl_DatabaseIdentity(pvc::Session& s, const std::string& schema);

// Why the job would read nothing sound from the settings file at `path`: the file holds no
// record the job deciphers as it was enciphered (a file that is no settings file), or the record
// the job reads for one of `keys` holds no enciphered value. Empty when there is no such problem,
// also when the file is missing or unreadable (said elsewhere). Never quotes a deciphered byte.
std::string Ctl_SettingsProblem(const std::string& path, const std::vector<std::string>& keys);

// One line of standard input without its line end; typed at a terminal, it is prompted for
// with `prompt` and not echoed. False when standard input holds nothing.
bool Ctl_ReadSecretLine(const std::string& prompt, std::string& line);
