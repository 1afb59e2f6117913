#include "run/RunControl.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "run/RunLog.h"

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

namespace {

constexpr const char* kMask = "********";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A parameter name as the connection library reads it: %XX decoded, then lower case.
std::string NameKey(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size() && HexValue(name[i + 1]) >= 0 &&
        HexValue(name[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(name[i + 1]) * 16 + HexValue(name[i + 2]));
      i += 2;
    } else {
      out += name[i];
    }
  }
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::string Run_MaskNet(const std::string& net) {
  std::string text = net;
  for (const char* scheme : {"postgresql://", "postgres://"}) {
    const std::size_t n = std::strlen(scheme);
    if (text.compare(0, n, scheme) != 0) continue;
    // The authority ends at the first '/' or '?'; its user information at its last '@'.
    const std::size_t end = text.find_first_of("/?", n);
    const std::size_t at = text.rfind('@', end == std::string::npos ? std::string::npos : end - 1);
    if (at != std::string::npos && at >= n) text = text.substr(0, n) + kMask + text.substr(at);
    break;
  }
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    // A parameter begins at the start, or after '?', '&' or white space.
    const bool starts = i == 0 || text[i - 1] == '?' || text[i - 1] == '&' || IsSpace(text[i - 1]);
    const std::size_t eq = starts ? text.find('=', i) : std::string::npos;
    if (eq == std::string::npos) {
      out += text[i++];
      continue;
    }
    const std::string name = text.substr(i, eq - i);
    if (name.find_first_of("?&/ \t\n\r") != std::string::npos) {
      out += text[i++];
      continue;
    }
    std::size_t value_end = eq + 1;
    while (value_end < text.size() && text[value_end] != '&' && !IsSpace(text[value_end]))
      ++value_end;
    out += text.substr(i, eq + 1 - i);
    out += NameKey(name).find("password") != std::string::npos
               ? std::string(kMask)
               : text.substr(eq + 1, value_end - eq - 1);
    i = value_end;
  }
  return out;
}
