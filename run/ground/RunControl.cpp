#include "run/ground/RunControl.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "run/ground/RunLog.h"

const char kUsageText[] =
    "Aufruf: parvek [Param1] [Param2] [Param3]\n"
    "Param1: Pfad der Inidatei\n"
    "Param2: KRVNT/XXX KRVNT=Firmenkonsol.-Version\n"
    "Param3: D/X D=Debug\n";

void RunFlags_Init(const char* param2, const char* param3) {
  RunFlags.verbose = param3[0] == 'D' ? 1 : 0;
  RunFlags.debug = std::getenv("PARVEK_DBG") != nullptr ? 1 : 0;
  RunFlags.consolidation = std::strcmp(param2, "KRVNT") == 0 ? 1 : 0;
}

std::string Run_TimeStamp(const std::tm& local) {
  char buf[100];
  const std::size_t n =
      std::strftime(buf, sizeof buf, "\nDatum: %d.%m.%Y  Uhrzeit: %H:%M:%S\n", &local);
  return std::string(buf, n);
}

std::string Run_LocalTime(std::time_t t, const char* format) {
  std::tm local{};
  localtime_r(&t, &local);
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, format, &local);
  return std::string(buf, n);
}

char* Str_Upper(char* text) {
  for (char* p = text; *p != '\0'; ++p)
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  return text;
}

std::string Run_SchemaName(const std::string& schema_value) {
  std::string name =
      schema_value.empty() ? std::string() : schema_value.substr(0, schema_value.size() - 1);
  Str_Upper(name.data());
  return name;
}

std::string Run_OneLine(const std::string& text, std::size_t max) {
  std::string out = text.size() > max ? text.substr(0, max) + "..." : text;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}
