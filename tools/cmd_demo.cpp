// parvekctl demo-create DIR: a demo server directory with a schema full of realistic data
// dated relative to today, and an enciphered settings file that points the job at it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "client/tool_queries.h"
#include "run/ground/CivilDate.h"
#include "run/ground/DatabaseAddress.h"
#include "tools/ctl.h"
#include "tools/settings_record.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDemoSchema = "PERSONAL";
constexpr const char* kSettingsName = "parvek.ini";

std::string At(const std::string& day, const char* time) { return "'" + day + " " + time + "'"; }

struct Builder {
  std::string sql;

  // One statement of the demo (client/core/tool_statements.h) with its values.
  void Add(pvc::ToolOp op, const std::vector<std::string>& values = {}) {
    sql += pvc::Tool_Sql(op, values) + ";\n";
  }
  // A day record with its day-evaluation row. An empty `tgb` leaves the day code NULL.
  void Tag(const char* pnr, const std::string& day, const char* from, const char* to, int sol,
           const char* tgb = nullptr) {
    const std::string p = std::string("'") + pnr + "'";
    Add(pvc::ToolOp::DemoTag,
        {p, At(day, "00:00:00"), At(day, "00:00:00"), At(day, from), At(day, "00:00:00"),
         At(day, to), tgb != nullptr ? std::string("'") + tgb + "'" : "NULL",
         tgb != nullptr ? std::to_string(sol) : "NULL"});
    Add(pvc::ToolOp::DemoTgb, {p, At(day, "00:00:00"), std::to_string(sol)});
  }
  // Yesterday's empty placeholder: the time frame begins and ends at 12:00:00.
  void Placeholder(const char* pnr, const std::string& day, int sol) {
    Tag(pnr, day, "12:00:00", "12:00:00", sol);
    Add(pvc::ToolOp::DemoZtg, {std::string("'") + pnr + "'", At(day, "00:00:00")});
  }
  // A booking; an empty `fcd` leaves the code NULL (a clock-in, for example).
  void Bch(const char* pnr, const std::string& day, const char* time, int fkt, const char* fcd) {
    Add(pvc::ToolOp::DemoBch,
        {std::string("'") + pnr + "'", At(day, "00:00:00"), At(day, time), std::to_string(fkt),
         fcd[0] != '\0' ? std::string("'") + fcd + "'" : std::string("NULL"), At(day, "08:15:00")});
  }
};

// The SQL that fills a fresh schema with the demo data, dated relative to `today` (a day
// number): the accounting day is the day before `today`.
std::string Demo_DataSql(int64_t today) {
  const std::string y = CivilText(today - 1);   // the accounting day
  const std::string y1 = CivilText(today - 2);  // the day before it
  const std::string y2 = CivilText(today - 3);
  Builder b;

  // The message types and the working-time plan.
  b.Add(pvc::ToolOp::DemoFcd);
  b.Add(pvc::ToolOp::DemoAzv);

  // 1001: ill the day before; the illness is carried on.
  b.Tag("1001", y1, "07:00:00", "16:00:00", 480, "KRA");
  b.Bch("1001", y1, "00:00:00", 1, "KRA");
  b.Placeholder("1001", y, 480);

  // 1002: on leave the day before; leave has no follow-up, so the older illness is not reached.
  b.Tag("1002", y2, "07:00:00", "16:00:00", 480, "KRA");
  b.Bch("1002", y2, "00:00:00", 1, "KRA");
  b.Tag("1002", y1, "07:00:00", "16:00:00", 480, "URL");
  b.Bch("1002", y1, "00:00:00", 1, "URL");
  b.Placeholder("1002", y, 480);

  // 1003: came in, went home sick at 13:30 (the day's last booking); illness follows.
  b.Tag("1003", y1, "07:00:00", "16:00:00", 480);
  b.Bch("1003", y1, "07:02:00", 21, "");
  b.Bch("1003", y1, "13:30:00", 24, "KRH");
  b.Placeholder("1003", y, 480);

  // 1004: ill the day before; a training booked for yesterday ranks lower and is cancelled.
  b.Tag("1004", y1, "07:00:00", "16:00:00", 480, "KRA");
  b.Bch("1004", y1, "00:00:00", 1, "KRA");
  b.Placeholder("1004", y, 480);
  b.Bch("1004", y, "00:00:00", 1, "SCH");

  // 1005: ill the day before; special leave booked for yesterday ranks higher and blocks.
  b.Tag("1005", y1, "07:00:00", "16:00:00", 480, "KRA");
  b.Bch("1005", y1, "00:00:00", 1, "KRA");
  b.Placeholder("1005", y, 480);
  b.Bch("1005", y, "00:00:00", 1, "SUR");

  // 1006: at a spa cure the day before; its follow-up needs a target time, yesterday has none.
  b.Tag("1006", y1, "07:00:00", "16:00:00", 480, "KUR");
  b.Bch("1006", y1, "00:00:00", 1, "KUR");
  b.Placeholder("1006", y, 0);
  return b.sql;
}

// One line per demo person: number and what the night will do for it.
const char* Demo_Cases() {
  return "  1001  ill (KRA) the day before          -> illness carried on (KRF)\n"
         "  1002  on leave (URL) the day before     -> leave has no follow-up: nothing happens\n"
         "  1003  went home sick at 13:30 (KRH)     -> hour message carried on as illness (KRF)\n"
         "  1004  ill; training (SCH) booked        -> training cancelled (function 45), KRF "
         "booked\n"
         "  1005  ill; special leave (SUR) booked   -> special leave ranks higher: KRF blocked\n"
         "  1006  spa cure (KUR) the day before     -> follow-up KUF refused: no target time "
         "yesterday\n";
}

// Writes the settings file, which holds a password, readable by its owner only. A symbolic
// link in its place is not followed.
int WritePrivateFile(const fs::path& path, const std::string& text, std::string& why) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<std::size_t>(w);
  }
  if (!ok) why = std::strerror(errno);
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    why = std::strerror(errno);
    ok = false;
  }
  return ok ? 0 : -1;
}

struct DemoOptions {
  std::string dir;
  CtlTarget target;
};

int DemoCreate(DemoOptions& o) {
  // Without NET8 the demo database is an SQLite schema in DIR; with one (a PostgreSQL server,
  // say) the schema is made there and DIR holds the settings.
  CtlTarget& t = o.target;
  if (const int rc = Ctl_ResolveTarget("demo-create", t, CtlOperands::kNetOnly)) return rc;
  std::error_code ec;
  fs::create_directories(o.dir, ec);
  const fs::path dir = fs::absolute(o.dir, ec);
  if (ec || !fs::is_directory(dir))
    return Ctl_Fail("demo-create: cannot create directory " + o.dir);
  const bool local = t.net.empty();
  if (local) t.net = DatabaseAddress_Sqlite(dir.string());
  if (t.login.empty() && t.settings.empty()) t.login = "demo";
  if (t.pass.empty() && t.settings.empty()) t.pass = "demo";
  t.schema = kDemoSchema;

  std::string why;
  int rc = pvc::CreateSchema(t.login, t.pass, t.net, kDemoSchema, why);
  if (rc != pvc::kOk)
    return Ctl_Fail("demo-create: RC:" + std::to_string(rc) + " " + why +
                    " (remove the directory to start afresh)");

  std::unique_ptr<pvc::Session> session;
  rc = Ctl_OpenSchema(t, session, why);
  if (rc == pvc::kOk) rc = pvc::ToolsOf(*session).ExecScript(Demo_DataSql(LocalToday()));
  if (rc != pvc::kOk) {
    const std::string detail = session ? session->LastError().message : why;
    return Ctl_Fail("demo-create: filling the demo schema failed, RC:" + std::to_string(rc) + " " +
                    detail);
  }

  const fs::path settings = dir / kSettingsName;
  if (WritePrivateFile(settings, JobSettings(t.login, t.pass, t.net, kDemoSchema), why) != 0)
    return Ctl_Fail("demo-create: cannot write " + settings.string() + ": " + why);

  if (local)
    std::printf("Demo database: %s/%s.db (NET8 %s, schema %s)\n", dir.c_str(), kDemoSchema,
                t.net.c_str(), kDemoSchema);
  else
    std::printf("Demo database: schema %s on %s\n", kDemoSchema, Net8_Mask(t.net).c_str());
  std::printf("Settings file: %s (values enciphered, mode 0600)\n", settings.c_str());
  std::printf("Persons in the demo (the accounting day is yesterday):\n%s", Demo_Cases());
  return 0;
}

const CtlCommand kDemoCreate(
    "demo-create", "Create a demo database and its settings file in DIR", [](CtlArgs& args) {
      auto o = std::make_shared<DemoOptions>();
      args.Text("DIR", o->dir,
                "Directory for the settings file parvek.ini (and the SQLite database)", true);
      Ctl_AddTarget(args, o->target, CtlOperands::kNetOnly);
      args.Footer(
          "Without NET8 the demo is an SQLite database DIR/PERSONAL.db (login and password demo). "
          "With "
          "NET8 the schema PERSONAL is created there; the user must be allowed to create schemas.");
      return [o] { return DemoCreate(*o); };
    });

}  // namespace
