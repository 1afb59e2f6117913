// The ODBC backend's NET8 forms and the translation of a failed logon into the job's codes.
#include <cctype>
#include <cstring>
#include <utility>

#include "client/core/codes.h"
#include "client/odbc/internal.h"

namespace pvc::odbc {
namespace {

std::string Upper(const std::string& s) {
  std::string out;
  for (char c : s) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// The attributes of a connection string "k=v;k={v;w};...", in order, keys in upper case and
// values without their braces. A value in braces ends at the first '}' that is not doubled.
std::vector<std::pair<std::string, std::string>> Pairs(const std::string& s) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t i = 0;
  while (i < s.size()) {
    const size_t eq = s.find('=', i);
    const size_t semi = s.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      if (semi == std::string::npos) break;
      i = semi + 1;  // a part without '=' names nothing
      continue;
    }
    std::string key = Upper(Trim(s.substr(i, eq - i)));
    std::string value;
    size_t j = eq + 1;
    while (j < s.size() && s[j] == ' ') ++j;
    if (j < s.size() && s[j] == '{') {
      for (++j; j < s.size(); ++j) {
        if (s[j] == '}' && j + 1 < s.size() && s[j + 1] == '}') {
          value += '}';
          ++j;
        } else if (s[j] == '}') {
          ++j;
          break;
        } else {
          value += s[j];
        }
      }
    }
    const size_t next = s.find(';', j);
    if (value.empty())
      value = Trim(s.substr(j, next == std::string::npos ? std::string::npos : next - j));
    pairs.emplace_back(std::move(key), std::move(value));
    if (next == std::string::npos) break;
    i = next + 1;
  }
  return pairs;
}

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// The keywords of a client library keyword/value string ("k=v k2 = 'v 2' k3=v\ 3"), in lower
// case.
std::vector<std::string> KeywordNames(const std::string& s) {
  std::vector<std::string> names;
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  size_t i = 0;
  while (i < s.size()) {
    if (space(s[i])) {
      ++i;
      continue;
    }
    const size_t begin = i;
    while (i < s.size() && s[i] != '=' && !space(s[i])) ++i;
    std::string name = s.substr(begin, i - begin);
    while (i < s.size() && space(s[i])) ++i;
    if (i == s.size() || s[i] != '=') continue;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.push_back(std::move(name));
    ++i;
    while (i < s.size() && space(s[i])) ++i;
    const bool quoted = i < s.size() && s[i] == '\'';
    for (i += quoted ? 1 : 0; i < s.size(); ++i) {
      if (s[i] == '\\') {
        ++i;
      } else if (quoted ? s[i] == '\'' : space(s[i])) {
        ++i;
        break;
      }
    }
  }
  return names;
}

// PostgreSQL's driver hands pqopt (D5) to its client library, where a user name or password
// would take the place of LOGIN and PASS. The driver reads an unbraced value with "+" as a blank
// and %XX decoded: both readings count.
bool PqoptHoldsCredentials(const std::string& value) {
  std::string decoded;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '+') {
      decoded += ' ';
    } else if (value[i] == '%' && i + 2 < value.size() &&
               std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
      decoded += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += value[i];
    }
  }
  for (const std::string& text : {value, decoded})
    for (const std::string& k : KeywordNames(text))
      if (k == "user" || Contains(k, "password") || Contains(k, "passwd")) return true;
  return false;
}

bool ClassIs(const std::string& state, const char* cls) {
  return state.size() == 5 && state[0] == cls[0] && state[1] == cls[1];
}

}  // namespace

int ParseNet(const std::string& net, Target& out) {
  const std::string prefix(kPrefix);
  Target t;
  if (net.compare(0, prefix.size(), prefix) != 0) {
    t.dsn = net;
  } else if (net.find('=') == std::string::npos) {
    t.dsn = net.substr(prefix.size());
  } else {
    t.connect = net.substr(prefix.size());
    for (const auto& [k, v] : Pairs(t.connect))
      if (k == "UID" || k == "PWD" || k == "USER" || k == "USERNAME" || k == "PASSWORD" ||
          ((k == "PQOPT" || k == "D5") && PqoptHoldsCredentials(v)))
        return kBadNetName;
  }
  if (Trim(t.dsn).empty() && Trim(t.connect).empty()) return kBadNetName;
  out = std::move(t);
  return kOk;
}

std::string Attribute(const std::string& connect, const std::string& key) {
  for (const auto& [k, v] : Pairs(connect))
    if (k == Upper(key)) return v;
  return {};
}

std::string Braced(const std::string& value) {
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

std::string ConnectString(const Target& t, const std::string& user, const std::string& password,
                          const std::string& extra, Engine engine) {
  // A data source name holds no ";", "{" or "}"; drivers take it only without braces.
  std::string s = t.connect.empty() ? "DSN=" + t.dsn : t.connect;
  while (!s.empty() && (s.back() == ';' || s.back() == ' ')) s.pop_back();
  // The password always in braces. The user name only when it needs them.
  const bool plain = user.find_first_of(";{}= ") == std::string::npos;
  if (!plain && engine == Engine::Postgres) {
    // PostgreSQL's driver takes braces around UID as part of the name; such a name goes to the
    // server as a quoted option of the client library instead, with UID left empty.
    std::string quoted = "user='";
    for (char c : user) {
      if (c == '\'' || c == '\\') quoted += '\\';
      quoted += c;
    }
    s += ";UID=;PWD=" + Braced(password) + ";pqopt=" + Braced(quoted + "'");
  } else {
    s += ";UID=" + (plain ? user : Braced(user)) + ";PWD=" + Braced(password);
  }
  return s + extra;
}

int TranslateLogon(const Failure& f) {
  // Oracle's driver reports the server's number (ORA-01017, ORA-12154, ORA-12541 ...).
  if (f.native > 0 && Contains(f.message, "ORA-")) return -f.native;
  if (f.sqlstate == "IM002") return kBadNetName;  // no such data source, no default driver
  if (f.sqlstate == "28000" || f.sqlstate == "28P01") return kBadLogin;
  // PostgreSQL's driver reports both a refused password and an unreachable server as 08001;
  // only the message tells them apart.
  if (Contains(f.message, "password authentication failed") ||
      Contains(f.message, "authentication failed") || Contains(f.message, "no password supplied"))
    return kBadLogin;
  if (Contains(f.message, "does not exist") && Contains(f.message, "database"))
    return kUnknownService;
  if (ClassIs(f.sqlstate, "08") || f.sqlstate == "HYT00") return kNoListener;
  if (f.sqlstate == "HY000" && f.native == 14) return kBadNetName;  // SQLite: file cannot open
  return kInternal;
}

void Wipe(std::string& secret) {
  volatile char* p = secret.data();
  for (size_t i = 0; i < secret.size(); ++i) p[i] = '\0';
  secret.clear();
}

}  // namespace pvc::odbc
