// parvekctl demo-create DIR: a demo server directory with a schema full of realistic data
// dated relative to today, and an enciphered settings file that points the job at it.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "run/BfCipher.h"
#include "tools/ctl.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDemoSchema = "PERSONAL";
constexpr const char* kSettingsName = "parvek.ini";

// 'YYYY-MM-DD' of `today` shifted by `days`.
std::string Day(const std::tm& today, int days) {
  std::tm t = today;
  t.tm_mday += days;
  t.tm_hour = 12;  // away from any clock change at midnight
  t.tm_isdst = -1;
  std::mktime(&t);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return buf;
}

std::string At(const std::string& day, const char* time) { return "'" + day + " " + time + "'"; }

struct Builder {
  std::string sql;

  // A day record with its day-evaluation row. An empty `tgb` leaves the day code NULL.
  void Tag(const char* pnr, const std::string& day, const char* from, const char* to, int sol,
           const char* tgb = nullptr) {
    sql += "INSERT INTO Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TagTgb, TagTgs) VALUES ('";
    sql += pnr;
    sql += "', " + At(day, "00:00:00") + ", " + At(day, "00:00:00") + ", " + At(day, from) + ", " +
           At(day, "00:00:00") + ", " + At(day, to) + ", ";
    sql += tgb != nullptr ? std::string("'") + tgb + "', " + std::to_string(sol) : "NULL, NULL";
    sql += ");\n";
    sql += "INSERT INTO Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) VALUES ('";
    sql += pnr;
    sql += "', " + At(day, "00:00:00") + ", 1, " + std::to_string(sol) + ");\n";
  }
  // Yesterday's empty placeholder: the time frame begins and ends at 12:00:00.
  void Placeholder(const char* pnr, const std::string& day, int sol) {
    Tag(pnr, day, "12:00:00", "12:00:00", sol);
    sql += "INSERT INTO Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) VALUES ('";
    sql += pnr;
    sql += "', " + At(day, "00:00:00") + ", 'VZ40', 0);\n";
  }
  // A booking; an empty `fcd` leaves the code NULL (a clock-in, for example).
  void Bch(const char* pnr, const std::string& day, const char* time, int fkt, const char* fcd) {
    sql += "INSERT INTO Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf, BchDat) VALUES ('";
    sql += pnr;
    sql += "', " + At(day, "00:00:00") + ", " + At(day, time) + ", " + std::to_string(fkt) + ", ";
    sql += fcd[0] != '\0' ? std::string("'") + fcd + "'" : std::string("NULL");
    sql += ", 'Personalbuero', " + At(day, "08:15:00") + ");\n";
  }
};

// The SQL that fills a fresh schema with the demo data, dated relative to `today` (local
// time): the accounting day is the day before `today`.
std::string Demo_DataSql(const std::tm& today) {
  const std::string y = Day(today, -1);   // the accounting day
  const std::string y1 = Day(today, -2);  // the day before it
  const std::string y2 = Day(today, -3);
  Builder b;

  // Message types: code, kind (1 day message), value rule, fixed value, target-time check,
  // priority (smaller ranks higher), tie rule, function code, follow-up code, status.
  b.sql +=
      "INSERT INTO Krv131Fcd (FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd, FcdFlg, FcdSta) VALUES\n"
      " ('KRA', 1, 1, 0, 0, 20, 0, NULL, 'KRF', 0),\n"   // Krankheit
      " ('KRF', 1, 1, 0, 0, 20, 1, NULL, 'KRF', 0),\n"   // Krankheit Folge
      " ('URL', 1, 1, 0, 0, 10, 0, NULL, NULL, 0),\n"    // Urlaub, no follow-up
      " ('SCH', 1, 1, 0, 0, 30, 0, NULL, NULL, 0),\n"    // Schulung
      " ('SUR', 1, 1, 0, 0, 5, 0, NULL, NULL, 0),\n"     // Sonderurlaub
      " ('KUR', 1, 1, 0, 0, 15, 0, NULL, 'KUF', 0),\n"   // Kur
      " ('KUF', 1, 1, 0, 1, 15, 0, NULL, 'KUF', 0),\n"   // Kur Folge, only on days with target time
      " ('KRH', 2, 0, 0, 0, 50, 0, 24, 'KRF', 0);\n";    // krank nach Hause (hour message)
  b.sql +=
      "INSERT INTO Krv140Azv (AzvNum, AzvSol, AzvSo2, AzvVhs, AzvHso, AzvHs2, AzvHtv, AzvGvo, AzvGbi, AzvSta)"
      " VALUES ('VZ40', 480, 240, 0, 240, 120, 0, '2000-01-01 00:00:00', NULL, 0);\n";

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
         "  1004  ill; training (SCH) booked        -> training cancelled (function 45), KRF booked\n"
         "  1005  ill; special leave (SUR) booked   -> special leave ranks higher: KRF blocked\n"
         "  1006  spa cure (KUR) the day before     -> follow-up KUF refused: no target time yesterday\n";
}

// One settings record of two lines: a header line and "number;key;enciphered value".
std::string SettingsRecord(int number, const char* key, const std::string& value) {
  return ";PARVEK;\n" + std::to_string(number) + ";" + key + ";" + Ini_Encipher(value) + "\n";
}

int WriteText(const fs::path& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return -1;
  const bool ok = std::fputs(text.c_str(), f) != EOF;
  return (std::fclose(f) == 0 && ok) ? 0 : -1;
}

int DemoCreate(const std::vector<std::string>& args) {
  // DIR [NET8 [--login L] [--pass P]]: without NET8 the demo database is an SQLite schema in DIR;
  // with one (a PostgreSQL server, say) the schema is made there and DIR holds the settings.
  std::vector<std::string> plain;
  std::string login = "demo", pass = "demo";
  for (size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--login" || args[i] == "--pass") && i + 1 < args.size()) {
      (args[i] == "--login" ? login : pass) = args[i + 1];
      ++i;
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() != 1 && plain.size() != 2)
    return Ctl_Fail("demo-create: expected DIR [NET8 [--login L] [--pass P]]");
  std::error_code ec;
  fs::create_directories(plain[0], ec);
  const fs::path dir = fs::absolute(plain[0], ec);
  if (ec || !fs::is_directory(dir)) return Ctl_Fail("demo-create: cannot create directory " + plain[0]);
  const std::string net = plain.size() == 2 ? plain[1] : "sqlite:" + dir.string();

  std::string why;
  int rc = pvc::CreateSchema(login, pass, net, kDemoSchema, why);
  if (rc != pvc::kOk)
    return Ctl_Fail("demo-create: RC:" + std::to_string(rc) + " " + why +
                    " (remove the directory to start afresh)");

  std::unique_ptr<pvc::Session> session;
  rc = pvc::OpenSession(login, pass, net, session);
  if (rc == pvc::kOk) rc = session->ExecDynamic(std::string("ALTER SESSION SET CURRENT_SCHEMA=") + kDemoSchema);
  const std::time_t now = std::time(nullptr);
  std::tm today{};
  localtime_r(&now, &today);
  if (rc == pvc::kOk) rc = pvc::ToolsOf(*session).ExecScript(Demo_DataSql(today));
  if (rc != pvc::kOk) {
    const std::string detail = session ? session->LastError().message : std::string();
    return Ctl_Fail("demo-create: filling the demo schema failed, RC:" + std::to_string(rc) + " " + detail);
  }

  // The deciphered SCHEMA value carries one character after the schema's name.
  const std::string settings = SettingsRecord(1, "LOGIN", login) + SettingsRecord(2, "PASS", pass) +
                               SettingsRecord(3, "NET8", net) +
                               SettingsRecord(4, "SCHEMA", std::string(kDemoSchema) + "#");
  if (WriteText(dir / kSettingsName, settings) != 0)
    return Ctl_Fail("demo-create: cannot write " + (dir / kSettingsName).string());

  if (plain.size() == 1)
    std::printf("Demo database: %s/%s.db (NET8 %s, schema %s)\n", dir.c_str(), kDemoSchema, net.c_str(),
                kDemoSchema);
  else
    std::printf("Demo database: schema %s on %s\n", kDemoSchema, net.c_str());
  std::printf("Settings file: %s (values enciphered)\n", (dir / kSettingsName).c_str());
  std::printf("Persons in the demo (the accounting day is yesterday):\n%s", Demo_Cases());
  return 0;
}

const CtlCommand kDemoCreate("demo-create",
                             "demo-create DIR [NET8 [--login L --pass P]]   create a demo database and settings file in DIR",
                             DemoCreate);

}  // namespace
