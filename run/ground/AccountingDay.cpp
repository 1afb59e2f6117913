#include "run/ground/AccountingDay.h"

#include <cstdio>

#include "run/ground/CivilDate.h"

namespace {

bool Digits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

int Number(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

std::optional<AccountingDay> Of(std::string_view y, std::string_view m, std::string_view d) {
  if (!Digits(y) || !Digits(m) || !Digits(d)) return std::nullopt;
  const int year = Number(y), month = Number(m), day = Number(d);
  if (year < 1000 || month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  const std::int64_t n = DaysFromCivil(year, month, day);
  const CivilDate back = CivilFromDays(n);
  if (back.m != month || back.d != day) return std::nullopt;  // the 30th of February
  return AccountingDay::FromNumber(n);
}

std::string Format(std::int64_t days, const char* fmt, bool year_first) {
  const CivilDate c = CivilFromDays(days);
  char buf[40];
  if (year_first)
    std::snprintf(buf, sizeof buf, fmt, c.y, c.m, c.d);
  else
    std::snprintf(buf, sizeof buf, fmt, c.d, c.m, c.y);
  return buf;
}

}  // namespace

std::optional<AccountingDay> AccountingDay::FromDashed(std::string_view t) {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  return Of(t.substr(0, 4), t.substr(5, 2), t.substr(8, 2));
}

std::optional<AccountingDay> AccountingDay::FromCompact(std::string_view t) {
  if (t.size() != 8) return std::nullopt;
  return Of(t.substr(0, 4), t.substr(4, 2), t.substr(6, 2));
}

std::string AccountingDay::Compact() const { return Format(days_, "%04d%02d%02d", true); }
std::string AccountingDay::Dashed() const { return Format(days_, "%04d-%02d-%02d", true); }
std::string AccountingDay::Dotted() const { return Format(days_, "%02d.%02d.%04d", false); }
