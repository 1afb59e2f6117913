#include "client/core/bind.h"

#include <utility>

#include "client/core/codes.h"

namespace pvc {
namespace {

bool Letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool Digits(const std::string& s, size_t from, size_t n) {
  for (size_t i = from; i < from + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

int Num(const std::string& s, size_t from, size_t n) {
  int v = 0;
  for (size_t i = from; i < from + n; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

Bind::Kind KindOf(char in) {
  switch (in) {
    case 'I': return Bind::Kind::Int;
    case 'D': return Bind::Kind::Date;
    case 'P': return Bind::Kind::DateTime;
    default: return Bind::Kind::Text;
  }
}

}  // namespace

bool IsIdentifier(const std::string& s) {
  if (s.empty() || s.size() > 128 || !Letter(s[0])) return false;
  for (char c : s)
    if (!Letter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '$' && c != '#') return false;
  return true;
}

int ParseSchemaStatement(const std::string& text, std::string& schema, ErrorDetail& err) {
  static const std::string kSwitch = "ALTER SESSION SET CURRENT_SCHEMA=";
  bool match = text.size() >= kSwitch.size();
  for (size_t i = 0; match && i < kSwitch.size(); ++i) {
    const char c = text[i];
    match = (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) == kSwitch[i];
  }
  if (!match) return SetError(err, kInvalidSql, "not the schema statement");
  const std::string name = text.substr(kSwitch.size());
  if (!IsIdentifier(name)) return SetError(err, kBadSchemaName, "schema name is not an identifier");
  schema = name;
  return kOk;
}

int ToDbDate(const std::string& in, bool with_time, std::string& out) {
  const size_t want = with_time ? 14 : 8;
  if (in.size() != want || !Digits(in, 0, want)) return kBadDateFormat;
  const int year = Num(in, 0, 4);
  const int month = Num(in, 4, 2);
  const int day = Num(in, 6, 2);
  if (year == 0) return kBadDateFormat;  // there is no year 0
  if (month < 1 || month > 12) return kBadMonth;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > last) return kBadDay;
  int hh = 0, mi = 0, ss = 0;
  if (with_time) {
    hh = Num(in, 8, 2);
    mi = Num(in, 10, 2);
    ss = Num(in, 12, 2);
    if (hh > 23 || mi > 59 || ss > 59) return kBadDateFormat;
  }
  char buf[20];
  const char* d = in.c_str();
  buf[0] = d[0], buf[1] = d[1], buf[2] = d[2], buf[3] = d[3], buf[4] = '-';
  buf[5] = d[4], buf[6] = d[5], buf[7] = '-', buf[8] = d[6], buf[9] = d[7], buf[10] = ' ';
  buf[11] = static_cast<char>('0' + hh / 10), buf[12] = static_cast<char>('0' + hh % 10);
  buf[13] = ':';
  buf[14] = static_cast<char>('0' + mi / 10), buf[15] = static_cast<char>('0' + mi % 10);
  buf[16] = ':';
  buf[17] = static_cast<char>('0' + ss / 10), buf[18] = static_cast<char>('0' + ss % 10);
  out.assign(buf, 19);
  return kOk;
}

int BindValues(Op op, const std::vector<Bind>& in, std::vector<Value>& out, ErrorDetail& err) {
  const OpInfo& info = Op_Info(op);
  const size_t want = Op_Width(info.in);
  if (in.size() != want)
    return SetError(err, kInternal,
                    std::string(info.name) + " takes " + std::to_string(want) + " values, " +
                        std::to_string(in.size()) + " given");
  out.assign(want, Value{});
  for (size_t i = 0; i < want; ++i) {
    const Bind& b = in[i];
    if (b.kind != KindOf(info.in[i]))
      return SetError(err, kInternal,
                      std::string(info.name) + ": value " + std::to_string(i + 1) +
                          " is not of kind '" + info.in[i] + "'");
    Value& v = out[i];
    if (b.kind == Bind::Kind::Int) {
      v.null = false;
      v.is_int = true;
      v.num = b.num;
    } else if (b.text.empty()) {
      // An empty text is NULL, as on the reference database.
    } else if (b.kind == Bind::Kind::Text) {
      v.null = false;
      v.text = b.text;
    } else {
      v.null = false;
      const int rc = ToDbDate(b.text, b.kind == Bind::Kind::DateTime, v.text);
      if (rc != kOk) return SetError(err, rc, "date text '" + b.text + "' does not fit its format");
    }
  }
  return kOk;
}

int SetError(ErrorDetail& err, int code, std::string message, int native, std::string sqlstate) {
  err.code = code;
  err.native = native;
  err.sqlstate = std::move(sqlstate);
  err.message = std::move(message);
  return code;
}

}  // namespace pvc
