#include "run/ground/DatabaseAddress.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

constexpr const char* kMask = "********";
constexpr std::size_t kNone = std::string::npos;

// A stretch [begin, end) of NET8 that holds a secret. An empty one (a password given as empty)
// is shown as the mask too: nobody learns from the log that the password is empty.
struct Span {
  std::size_t begin, end;
};

// A text as a connection library reads it once its own quoting is undone (braces, "+" and %XX),
// with the place in NET8 of each of its characters: at[i] is where text[i] stands, and
// at[text.size()] the place just after the last one. Secrets found in the text are masked at
// those places, quoting and all.
struct View {
  std::string text;
  std::vector<std::size_t> at;

  void Add(char c, std::size_t place) {
    text += c;
    at.push_back(place);
  }
  Span Place(std::size_t begin, std::size_t end) const { return {at[begin], at[end]}; }
};

// NET8 from `begin` to `end` as it stands.
View Slice(const std::string& s, std::size_t begin, std::size_t end) {
  View v;
  for (std::size_t i = begin; i < end; ++i) v.Add(s[i], i);
  v.at.push_back(end);
  return v;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A parameter name as the connection library reads it: without the blanks around it, %XX
// decoded, then lower case.
std::string NameKey(const std::string& raw) {
  const std::size_t a = raw.find_first_not_of(" \t");
  const std::string name = a == kNone ? "" : raw.substr(a, raw.find_last_not_of(" \t") - a + 1);
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

bool SecretName(const std::string& raw) {
  const std::string key = NameKey(raw);
  return key.find("password") != kNone || key.find("passwd") != kNone || key == "pwd";
}

// The white space of the client library's keyword/value strings.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A PostgreSQL keyword/value string, "host=db password = 'a b' sslmode=require": names and
// values separated by white space, blanks allowed around '='; a value in single quotes runs to
// the closing quote, and a backslash takes the next character as it is, quoted or not.
void KeywordValueSecrets(const View& v, std::vector<Span>& out) {
  const std::string& s = v.text;
  std::size_t i = 0;
  while (i < s.size()) {
    if (IsSpace(s[i])) {
      ++i;
      continue;
    }
    const std::size_t name_begin = i;
    while (i < s.size() && s[i] != '=' && !IsSpace(s[i])) ++i;
    const std::string name = s.substr(name_begin, i - name_begin);
    while (i < s.size() && IsSpace(s[i])) ++i;
    if (i == s.size() || s[i] != '=') continue;  // a word without '=': read on after it
    ++i;
    while (i < s.size() && IsSpace(s[i])) ++i;
    const std::size_t value_begin = i;
    if (i < s.size() && s[i] == '\'') {
      for (++i; i < s.size() && s[i] != '\''; ++i)
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
      if (i < s.size()) ++i;  // the closing quote
    } else {
      for (; i < s.size() && !IsSpace(s[i]); ++i)
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
    }
    if (SecretName(name)) out.push_back(v.Place(value_begin, i));
  }
}

// The query of a URI from `from` on: NAME=VALUE parameters separated by '&', a value running to
// the next '&' whatever it holds.
void QuerySecrets(const std::string& s, std::size_t from, std::vector<Span>& out) {
  for (std::size_t i = from; i < s.size();) {
    std::size_t end = s.find('&', i);
    if (end == kNone) end = s.size();
    const std::size_t eq = s.find('=', i);
    if (eq != kNone && eq < end && SecretName(s.substr(i, eq - i))) out.push_back({eq + 1, end});
    i = end + 1;
  }
}

// A PostgreSQL URI, the scheme ending at `n`. The client library takes the user information to
// the first '@' before the path; a password holding an unescaped '/' or '?' is masked as well:
// the user information runs to the last '@' before the first '/', or before the first '?',
// whichever lies further.
void UriSecrets(const std::string& s, std::size_t n, std::vector<Span>& out) {
  std::size_t info_end = kNone;
  for (const char stop : {'/', '?'}) {
    const std::size_t limit = std::min(s.find(stop, n), s.size());
    const std::size_t at = limit == n ? kNone : s.rfind('@', limit - 1);
    if (at != kNone && at >= n && (info_end == kNone || at > info_end)) info_end = at;
  }
  if (info_end != kNone) out.push_back({n, info_end});
  const std::size_t query = s.find('?', info_end == kNone ? n : info_end);
  if (query != kNone) QuerySecrets(s, query + 1, out);
}

// An unbraced value as PostgreSQL's ODBC driver decodes it: "+" is a blank, %XX a byte.
View PlusPercentDecoded(const std::string& s, std::size_t begin, std::size_t end) {
  View v;
  for (std::size_t i = begin; i < end; ++i) {
    if (s[i] == '+') {
      v.Add(' ', i);
    } else if (s[i] == '%' && i + 2 < end && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      v.Add(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])), i);
      i += 2;
    } else {
      v.Add(s[i], i);
    }
  }
  v.at.push_back(end);
  return v;
}

// An ODBC connection string from `from` on: KEY=VALUE pairs separated by ';', blanks around keys
// and values ignored; a value runs to the next ';', blanks and all, and a value in braces to its
// closing brace ("}}" is a brace inside it), whatever it holds. The value of a password-like key
// is masked whole. PostgreSQL's driver hands the value of pqopt (abbreviated D5) to its client
// library as a keyword/value string: its secrets are masked inside it.
void OdbcSecrets(const std::string& s, std::size_t from, std::vector<Span>& out) {
  std::size_t i = from;
  while (i < s.size()) {
    const std::size_t eq = s.find('=', i);
    const std::size_t semi = s.find(';', i);
    if (eq == kNone || (semi != kNone && semi < eq)) {
      if (semi == kNone) break;
      i = semi + 1;  // a part without '=' names nothing
      continue;
    }
    const std::string name = s.substr(i, eq - i);
    std::size_t value_begin = eq + 1;
    while (value_begin < s.size() && IsBlank(s[value_begin])) ++value_begin;
    std::size_t j = value_begin;
    View inside;  // a braced value without its braces
    const bool braced = j < s.size() && s[j] == '{';
    if (braced) {
      for (++j; j < s.size(); ++j) {
        if (s[j] != '}') {
          inside.Add(s[j], j);
        } else if (j + 1 < s.size() && s[j + 1] == '}') {
          inside.Add('}', j++);
        } else {
          break;
        }
      }
      inside.at.push_back(j);
      if (j < s.size()) ++j;  // the closing brace
    }
    const std::size_t end = std::min(s.find(';', j), s.size());
    std::size_t value_end = end;
    while (value_end > value_begin && IsBlank(s[value_end - 1])) --value_end;
    const std::string key = NameKey(name);
    if (SecretName(name)) {
      out.push_back({value_begin, value_end});
    } else if (key == "pqopt" || key == "d5") {
      if (braced) {
        KeywordValueSecrets(inside, out);
      } else {
        // Read both as written and as the driver decodes it.
        KeywordValueSecrets(Slice(s, value_begin, value_end), out);
        KeywordValueSecrets(PlusPercentDecoded(s, value_begin, value_end), out);
      }
    }
    i = end + 1;
  }
}

bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string Net8_Mask(const std::string& net) {
  std::vector<Span> spans;
  bool uri = false;
  for (std::string_view scheme : {kNet8Postgres, kNet8PostgresShort}) {
    if (!StartsWith(net, scheme)) continue;
    UriSecrets(net, scheme.size(), spans);
    uri = true;
    break;
  }
  if (!uri && StartsWith(net, kNet8Odbc)) {
    OdbcSecrets(net, kNet8Odbc.size(), spans);
  } else if (!uri) {
    // Any other text is no connection string of a known form, but may have been meant as one
    // (the prefix forgotten): it is read as each form would read it.
    OdbcSecrets(net, 0, spans);
    KeywordValueSecrets(Slice(net, 0, net.size()), spans);
    if (const std::size_t query = net.find('?'); query != kNone)
      QuerySecrets(net, query + 1, spans);
  }
  // Overlapping or touching secrets are masked as one.
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.end > b.end;
  });
  std::string out;
  std::size_t shown = 0;  // NET8 before this place is in `out`
  bool masking = false;
  for (const Span& sp : spans) {
    if (masking && sp.begin <= shown) {
      shown = std::max(shown, sp.end);
      continue;
    }
    out.append(net, shown, sp.begin - shown);
    out += kMask;
    shown = sp.end;
    masking = true;
  }
  out.append(net, shown, kNone);
  return out;
}
