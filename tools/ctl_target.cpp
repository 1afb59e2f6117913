// The target options every connecting command shares, and the session they open.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "client/client.h"
#include "client/codes.h"
#include "run/ground/AccountingDay.h"
#include "run/ground/Settings.h"
#include "tools/ctl.h"
#include "run/ground/DatabaseAddress.h"

int Ctl_ResolveTarget(const std::string& command, CtlTarget& t, CtlOperands operands) {
  if (!t.settings.empty()) {
    if (!t.net.empty() || !t.schema.empty())
      return Ctl_Fail(command + ": --settings takes the place of NET8" +
                      (operands == CtlOperands::kNetAndSchema ? " and SCHEMA" : "") + "; '" +
                      (t.net.empty() ? t.schema : t.net) +
                      "' is one operand too many (see parvekctl " + command + " --help)");
    const Settings read = Settings_Read(t.settings);
    t.net = read.net8;
    t.login = read.login;
    t.pass = read.pass;
    if (operands == CtlOperands::kNetAndSchema) t.schema = read.SchemaName();
    if (t.net.empty())
      return Ctl_Fail(command + ": " + t.settings + " holds no NET8 the job would read");
    if (operands == CtlOperands::kNetAndSchema && t.schema.empty())
      return Ctl_Fail(command + ": " + t.settings + " holds no SCHEMA the job would read");
    return 0;
  }
  if (operands == CtlOperands::kNetAndSchema && (t.net.empty() || t.schema.empty()))
    return Ctl_Fail(command + ": expected NET8 SCHEMA or --settings FILE (see parvekctl " +
                    command + " --help)");
  if (t.pass_stdin) {
    if (!Ctl_ReadSecretLine("Password", t.pass))
      return Ctl_Fail(command + ": no password on standard input");
  } else if (t.pass.empty()) {
    if (const char* env = std::getenv("PARVEK_PASS")) t.pass = env;
  }
  return 0;
}

int Ctl_OpenSchema(const CtlTarget& t, std::unique_ptr<pvc::Session>& s, std::string& why) {
  int rc = pvc::OpenSession(t.login, t.pass, t.net, s);
  if (rc != pvc::kOk) {
    why = "logon failed";  // NET8 is not shown: one that carries a password is refused here
    return rc;
  }
  rc = s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + t.schema);
  if (rc != pvc::kOk)
    why = "schema " + t.schema + " not reachable on " + Net8_Mask(t.net) + ": " +
          s->LastError().message;
  return rc;
}

std::optional<AccountingDay> Ctl_DatabaseYesterday(pvc::Session& s) {
  pvc::Row row;
  if (s.SelectOne(pvc::Op::Today, {}, row) != pvc::kOk || row.empty() || row[0].null)
    return std::nullopt;
  const std::optional<AccountingDay> today = AccountingDay::FromCompact(row[0].text);
  return today ? std::optional<AccountingDay>(*today - 1) : std::nullopt;
}

DatabaseIdentity Ctl_DatabaseIdentity(pvc::Session& s, const std::string& schema) {
  pvc::Row row;
  if (s.SelectOne(pvc::Op::DbIdentity, {}, row) != pvc::kOk || row.empty() || row[0].null)
    return {};
  return DatabaseIdentity_From(row[0].text, schema);
}

bool Ctl_ReadSecretLine(const std::string& prompt, std::string& line) {
  termios saved{};
  const bool tty = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (tty) {
    std::fprintf(stderr, "%s: ", prompt.c_str());
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, line));
  if (tty) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  if (ok && !line.empty() && line.back() == '\r') line.pop_back();
  return ok;
}
