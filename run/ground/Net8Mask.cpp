#include "run/ground/DatabaseAddress.h"

#include <cstring>


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

std::string Net8_Mask(const std::string& net) {
  std::string text = net;
  for (std::string_view scheme : {kNet8Postgres, kNet8PostgresShort}) {
    const std::size_t n = scheme.size();
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
    // A parameter begins at the start, or after '?', '&', ';' (an ODBC connection string) or
    // white space.
    const bool starts = i == 0 || text[i - 1] == '?' || text[i - 1] == '&' ||
                        text[i - 1] == ';' || IsSpace(text[i - 1]);
    const std::size_t eq = starts ? text.find('=', i) : std::string::npos;
    if (eq == std::string::npos) {
      out += text[i++];
      continue;
    }
    const std::string name = text.substr(i, eq - i);
    if (name.find_first_of("?&;/ \t\n\r") != std::string::npos) {
      out += text[i++];
      continue;
    }
    // A value ends at '&', ';' or white space; an ODBC value in braces at its closing brace
    // ("}}" stands for a brace inside it), whatever it holds.
    std::size_t value_end = eq + 1;
    if (value_end < text.size() && text[value_end] == '{') {
      for (++value_end; value_end < text.size(); ++value_end) {
        if (text[value_end] != '}') continue;
        if (value_end + 1 < text.size() && text[value_end + 1] == '}') {
          ++value_end;
          continue;
        }
        ++value_end;
        break;
      }
    }
    while (value_end < text.size() && text[value_end] != '&' && text[value_end] != ';' &&
           !IsSpace(text[value_end]))
      ++value_end;
    out += text.substr(i, eq + 1 - i);
    const std::string key = NameKey(name);
    const bool secret = key.find("password") != std::string::npos ||
                        key.find("passwd") != std::string::npos || key == "pwd";
    out += secret ? std::string(kMask) : text.substr(eq + 1, value_end - eq - 1);
    i = value_end;
  }
  return out;
}

