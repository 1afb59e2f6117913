#include "run/Driver.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

#include "db/SQLHlp.h"
#include "run/IniFile.h"
#include "run/RunControl.h"
#include "run/RunLog.h"
#include "scan/TagYday_Scan.h"

namespace {

// Shown in place of the password wherever connection settings are written.
constexpr const char* kPasswordMask = "********";

std::string ReadSetting(const char* key, const std::string& path) {
  Ini_ReadEntry("", key, 0, path.c_str());
  return IniEntry.value;
}

}  // namespace

int Run_Main(int argc, char** argv) {
  // A reader that closes standard output early (parvek ... | head) must not end the job: its
  // writes then fail, and the night's work goes on.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 4) {
    std::fputs(kUsageText, stdout);
    return 0;
  }
  // Kept whole: a cut path would name another file.
  const std::string ini_path = argv[1];
  RunFlags_Init(argv[2], argv[3]);

  Log_Open(kRunLogName);

  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  Log_Line(Run_TimeStamp(local).c_str());

  const std::string user = ReadSetting("LOGIN", ini_path);
  std::string password = ReadSetting("PASS", ini_path);
  const std::string net = ReadSetting("NET8", ini_path);
  const std::string schema_name = Run_SchemaName(ReadSetting("SCHEMA", ini_path));

  const int rc = Db_Connect(user.c_str(), password.c_str(), net.c_str(), schema_name.c_str());
  password.assign(password.size(), '\0');
  if (rc != 0) {
    char message[64];
    std::snprintf(message, sizeof message, "Fehler(DB-Connect)! RC:%d ", rc);
    // NET8 is shown with any secret it carries masked.
    const std::string shown_net = Run_MaskNet(net);
    Log_Entry(message, "Name:%s Pwd:%s Net:%s\n", user.c_str(), kPasswordMask, shown_net.c_str());
    // The exit code is 0 on every path; this line keeps a failed connect from being silent.
    std::fprintf(stderr, "parvek: Fehler(DB-Connect)! RC:%d Net:%s\n", rc,
                 Run_OneLine(shown_net).c_str());
  } else {
    TagYday_Scan(schema_name.c_str());
  }

  Log_Close();
  return 0;
}
