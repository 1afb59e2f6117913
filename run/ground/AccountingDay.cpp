#include "run/ground/AccountingDay.h"

#include <cstdio>

#include "run/ground/CivilDate.h"

namespace {

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
  std::int64_t n = 0;
  if (!ParseCivilDate(std::string(t), n)) return std::nullopt;
  return AccountingDay(n);
}

std::optional<AccountingDay> AccountingDay::FromCompact(std::string_view t) {
  if (t.size() != 8) return std::nullopt;
  const std::string dashed = std::string(t.substr(0, 4)) + "-" + std::string(t.substr(4, 2)) + "-" +
                             std::string(t.substr(6, 2));
  return FromDashed(dashed);
}

std::string AccountingDay::Compact() const { return Format(days_, "%04d%02d%02d", true); }
std::string AccountingDay::Dashed() const { return Format(days_, "%04d-%02d-%02d", true); }
std::string AccountingDay::Dotted() const { return Format(days_, "%02d.%02d.%04d", false); }
