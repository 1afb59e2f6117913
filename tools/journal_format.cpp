#include "tools/journal_format.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <utility>

#include "tools/journal_values.h"

namespace journal {

namespace {

using nlohmann::json;

// The first version of parvekctl that wrote journals: a journal naming an earlier one is none.
constexpr const char* kFirstVersion = "0.3.0";

// The values of "end".
constexpr const char* kNormal = "normal";
constexpr const char* kError = "error";

constexpr const char* kChangeNames[] = {"insert", "function", "delete", "day"};

std::optional<Change> ChangeNamed(const json& v) {
  for (size_t i = 0; i < std::size(kChangeNames); ++i)
    if (v == kChangeNames[i]) return static_cast<Change>(i);
  return std::nullopt;
}

// "0.3.0" as its numbers; empty for a text that is no version.
std::vector<int> VersionParts(const std::string& v) {
  std::vector<int> parts;
  for (size_t at = 0; parts.size() < 5;) {
    const size_t dot = v.find('.', at);
    const std::string part = v.substr(at, dot == std::string::npos ? dot : dot - at);
    if (part.empty() || part.size() > 6 ||
        part.find_first_not_of("0123456789") != std::string::npos)
      return {};
    parts.push_back(std::stoi(part));
    if (dot == std::string::npos) return parts.size() <= 4 ? parts : std::vector<int>{};
    at = dot + 1;
  }
  return {};
}

// Below, equal to or above zero as `a` is older than, the same as or newer than `b`.
int CompareVersions(std::vector<int> a, std::vector<int> b) {
  const size_t n = std::max(a.size(), b.size());
  a.resize(n, 0);
  b.resize(n, 0);
  return a < b ? -1 : a == b ? 0 : 1;
}

// A journal is read by the program that wrote it and by every later one; a journal of a later
// program may hold what this one does not know.
bool KnownVersion(const std::string& path, const std::string& version, std::string& why) {
  const std::vector<int> v = VersionParts(version);
  if (v.empty() || CompareVersions(v, VersionParts(kFirstVersion)) < 0) {
    why = path + " names version '" + version + "', which no parvekctl that writes journals has";
    return false;
  }
  if (CompareVersions(v, VersionParts(PARVEK_VERSION)) > 0) {
    why = path + " was written by parvekctl " + version + ", newer than this one (" +
          PARVEK_VERSION + "); take it back with parvekctl " + version + " or later";
    return false;
  }
  return true;
}

// The header line `l`, refused unless its kind and version are known.
bool HeaderOf(const std::string& path, const json& l, JournalHeader& h, std::string& why) {
  if (!l.contains(key::kJournal) || !l[key::kJournal].is_string()) {
    why = path + " is no journal of parvekctl (no header line)";
    return false;
  }
  const std::pair<const char*, std::string*> fields[] = {
      {key::kJournal, &h.kind},    {key::kDay, &h.day},           {key::kStart, &h.start},
      {key::kVersion, &h.version}, {key::kSchema, &h.schema},     {key::kNet8, &h.net8},
      {key::kVariant, &h.variant}, {key::kSettings, &h.settings}, {key::kWorkdir, &h.workdir},
      {key::kUndoes, &h.undoes},   {key::kIdentity, &h.identity}, {key::kFolder, &h.folder}};
  for (const auto& [name, out] : fields) {
    if (!l.contains(name)) continue;
    if (!l[name].is_string()) {
      why = path + ": the header's \"" + name + "\" is no text; no journal of parvekctl";
      return false;
    }
    *out = l[name].get<std::string>();
  }
  if (l.contains(key::kStarted)) {
    if (!l[key::kStarted].is_number_integer()) {
      why = path + ": the header's \"" + key::kStarted + "\" is no number; no journal of parvekctl";
      return false;
    }
    h.started_us = l[key::kStarted].get<int64_t>();
  }
  if (h.kind != kNight && h.kind != kUndo) {
    why = path + " is a journal of kind '" + h.kind + "', which this parvekctl does not know";
    return false;
  }
  return KnownVersion(path, h.version, why);
}

int IntOf(const json& l, const char* name) {
  return l.contains(name) && l[name].is_number_integer() ? l[name].get<int>() : 0;
}

bool IsInt(const json& l, const char* name) {
  return l.contains(name) && l[name].is_number_integer();
}

// A first line cut short is a header when it begins as a header line begins.
bool BeginsLikeHeader(const std::string& line) {
  static const std::string opening = [] {
    const std::string whole = HeaderLine(JournalHeader{}).dump();
    return whole.substr(0, whole.find(':') + 2);  // {"first key":"
  }();
  const size_t n = std::min(line.size(), opening.size());
  return n > 0 && line.compare(0, n, opening, 0, n) == 0;
}

}  // namespace

const char* NameOf(Change change) { return kChangeNames[static_cast<size_t>(change)]; }

json HeaderLine(const JournalHeader& h) {
  json l = {
      {key::kJournal, h.kind},         {key::kDay, h.day},           {key::kStart, h.start},
      {key::kVersion, PARVEK_VERSION}, {key::kSchema, h.schema},     {key::kNet8, h.net8},
      {key::kVariant, h.variant},      {key::kSettings, h.settings}, {key::kWorkdir, h.workdir}};
  if (!h.identity.empty()) l[key::kIdentity] = h.identity;
  if (!h.folder.empty()) l[key::kFolder] = h.folder;
  if (h.started_us != 0) l[key::kStarted] = h.started_us;
  if (!h.undoes.empty()) l[key::kUndoes] = h.undoes;
  return l;
}

json RowLine(int64_t n, Change change, json row) {
  return {{key::kN, n}, {key::kChange, NameOf(change)}, {key::kRow, std::move(row)}};
}

json ImageLine(int64_t n, Change change, json key, json before, json after) {
  return {{key::kN, n},
          {key::kChange, NameOf(change)},
          {key::kKey, std::move(key)},
          {key::kBefore, std::move(before)},
          {key::kAfter, std::move(after)}};
}

json OkLine(int64_t n, const std::optional<json>& bch_dat) {
  json l = {{key::kOk, n}};
  if (bch_dat) l[key::kOkBchDat] = *bch_dat;
  return l;
}

json FailedLine(int64_t n, int rc) { return {{key::kFailed, n}, {key::kRc, rc}}; }

json EndLine(const End& end) {
  json l = {{key::kEnd, end.normal ? kNormal : kError},
            {key::kRc, end.rc},
            {key::kInserted, end.inserted},
            {key::kFunctions, end.functions},
            {key::kDeleted, end.deleted},
            {key::kDays, end.days},
            {key::kFailed, end.failed},
            {key::kUnchanged, end.unchanged}};
  if (end.ended_us != 0) l[key::kEnded] = end.ended_us;
  return l;
}

bool IsHeaderLine(const std::string& line) {
  const json l = json::parse(line, nullptr, false);
  if (l.is_discarded() || !l.is_object()) return false;
  const auto text = [&l](const char* name) {
    return l.contains(name) && l[name].is_string() ? l[name].get<std::string>() : std::string();
  };
  const std::string kind = text(key::kJournal);
  return (kind == kNight || kind == kUndo) && !text(key::kStart).empty() &&
         !text(key::kVersion).empty();
}

bool ReadHeader(const std::string& path, JournalHeader& h, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  std::string first;
  if (!in || !std::getline(in, first)) {
    why = "cannot read " + path;
    return false;
  }
  const json l = json::parse(first, nullptr, false);
  if (l.is_discarded() || !l.is_object()) {
    why = path + " is no journal of parvekctl (no header line)";
    return false;
  }
  return HeaderOf(path, l, h, why);
}

bool Read(const std::string& path, Journal& j, std::string& why, const ReasonSink& reason) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read " + path;
    return false;
  }
  std::map<int64_t, size_t> at;  // n -> index in entries
  size_t i = 0;
  for (std::string text; std::getline(in, text); ++i) {
    const bool last = in.peek() == std::char_traits<char>::eof();
    if (reason && i > 0 && text.compare(0, 5, "{\"p\":") == 0 && reason(text)) {
      ++j.reason_lines;
      continue;
    }
    const json l = json::parse(text, nullptr, false);
    if (l.is_discarded() || !l.is_object()) {
      if (last && (i > 0 || BeginsLikeHeader(text))) {
        j.torn_tail = true;
        break;
      }
      why = i == 0 ? path + " is no journal of parvekctl (no header line)"
                   : path + ": line " + std::to_string(i + 1) + " is no journal line";
      return false;
    }
    if (i == 0) {
      if (!HeaderOf(path, l, j.header.emplace(), why)) return false;
    } else if (l.contains(key::kChange) && IsInt(l, key::kN)) {
      const int64_t n = l[key::kN].get<int64_t>();
      at[n] = j.entries.size();
      j.entries.push_back({n, ChangeNamed(l[key::kChange]), l, Entry::State::kSent, ""});
    } else if (IsInt(l, key::kOk) && at.count(l[key::kOk].get<int64_t>())) {
      Entry& e = j.entries[at[l[key::kOk].get<int64_t>()]];
      e.state = Entry::State::kConfirmed;
      if (l.contains(key::kOkBchDat)) e.bch_dat = TextOf(l[key::kOkBchDat]);
    } else if (l.contains(key::kEnd)) {
      End& e = j.end.emplace();
      e.normal = l[key::kEnd] == kNormal;
      e.rc = IntOf(l, key::kRc);
      e.inserted = IntOf(l, key::kInserted);
      e.functions = IntOf(l, key::kFunctions);
      e.deleted = IntOf(l, key::kDeleted);
      e.days = IntOf(l, key::kDays);
      e.failed = IntOf(l, key::kFailed);
      e.unchanged = IntOf(l, key::kUnchanged);
      if (IsInt(l, key::kEnded)) e.ended_us = l[key::kEnded].get<int64_t>();
    } else if (l.contains("p") && l.contains("s") && l.contains("k")) {
      j.reasons.push_back(text);
      ++j.reason_lines;
    } else if (IsInt(l, key::kFailed)) {
      for (Entry& e : j.entries)
        if (e.n == l[key::kFailed].get<int64_t>()) e.state = Entry::State::kFailed;
    }
  }
  return true;
}

}  // namespace journal
