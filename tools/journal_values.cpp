#include "tools/journal_values.h"

namespace journal {

using nlohmann::json;
using pvc::Bind;

const std::initializer_list<const char*> kRowNames = {
    "BchPnr", "BchVon", "BchUhr", "BchFkt", "BchBis", "BchVws", "BchFcd",
    "BchZwt", "BchAbt", "BchKst", "BchKtr", "BchKrt", "BchAzt", "BchVra",
    "BchTxt", "BchSta", "BchErf", "BchTrm", "BchDat"};

namespace {

bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n;
  }
  return true;
}

int Hex(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

json FromText(const std::string& text) {
  if (IsUtf8(text)) return text;
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : text) hex += {kDigits[c >> 4], kDigits[c & 15]};
  return {{"hex", hex}};
}

json FromCell(const pvc::Cell& c) {
  if (c.null) return nullptr;
  if (c.is_int) return c.num;
  return FromText(c.text);
}

json FromBind(const Bind& b, char kind) {
  if (b.kind == Bind::Kind::Int) return b.num;
  if (b.text.empty()) return nullptr;
  if (kind == 'N') {
    try {
      size_t used = 0;
      const long long v = std::stoll(b.text, &used);
      if (used == b.text.size()) return static_cast<int64_t>(v);
    } catch (...) {
    }
  }
  return FromText(b.text);
}

std::string TextOf(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
  if (v.is_object() && v.contains("hex") && v["hex"].is_string()) {
    const std::string h = v["hex"];
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
      const int hi = Hex(h[i]), lo = Hex(h[i + 1]);
      if (hi < 0 || lo < 0) return out;
      out += static_cast<char>(hi * 16 + lo);
    }
    return out;
  }
  return "";
}

json EmptyRow() {
  json row = json::object();
  for (const char* name : kRowNames) row[name] = nullptr;
  return row;
}

json RowOf(const pvc::Row& row) {
  json out = EmptyRow();
  for (const char* name : kRowNames) {
    const pvc::Cell* c = pvc::OutNamed(pvc::Op::BchReadRow, row, name);
    out[name] = c != nullptr ? FromCell(*c) : json(nullptr);
  }
  return out;
}

json PairsOf(const pvc::Row& row) {
  json out = json::object();
  for (const char* name : {"TagTgb", "TagTgs", "TagHtv", "TagHvs", "TagHtn", "TagHns"}) {
    const pvc::Cell* c = pvc::OutNamed(pvc::Op::TagReadPairs, row, name);
    out[name] = c != nullptr ? FromCell(*c) : json(nullptr);
  }
  return out;
}

bool BindsOf(pvc::Op op, const json& values, std::vector<Bind>& out, std::string& why) {
  out.clear();
  const char* kinds = pvc::Op_Info(op).in;
  const std::string names = pvc::kOpNames[static_cast<size_t>(op)].in;
  size_t at = 0;
  for (size_t i = 0; kinds[i] != '\0'; ++i) {
    const size_t end = names.find(' ', at);
    const std::string name = names.substr(at, end - at);
    at = end == std::string::npos ? names.size() : end + 1;
    const json v = values.is_object() && values.contains(name) ? values[name] : json(nullptr);
    switch (kinds[i]) {
      case 'I':
        if (!v.is_number_integer()) {
          why = name + " is no integer";
          return false;
        }
        out.push_back(Bind::Int(v.get<int64_t>()));
        break;
      case 'D': out.push_back(Bind::Dat(TextOf(v))); break;
      case 'P': out.push_back(Bind::DatTime(TextOf(v))); break;
      default:
        if (kinds[i] == 'N' && !v.is_null() && !v.is_number_integer()) {
          why = name + " is no integer";
          return false;
        }
        out.push_back(Bind::Txt(TextOf(v)));
    }
  }
  return true;
}

std::vector<Bind> Binds(pvc::Op op, const json& values) {
  std::vector<Bind> out;
  std::string why;
  BindsOf(op, values, out, why);
  return out;
}

std::vector<Bind> KeyBinds(const json& key, const json& fkt) {
  const std::string von = TextOf(key.value("BchVon", json(nullptr)));
  const std::string uhr = TextOf(key.value("BchUhr", json(nullptr)));
  return {Bind::Txt(TextOf(key.value("BchPnr", json(nullptr)))),
          Bind::Dat(von.substr(0, 8)),
          Bind::Txt(uhr.size() >= 14 ? uhr.substr(8, 6) : uhr),
          Bind::Int(fkt.is_number_integer() ? fkt.get<int64_t>() : 0)};
}

}  // namespace journal
