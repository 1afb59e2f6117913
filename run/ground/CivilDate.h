// Day numbers (days since 1970-01-01) and civil dates of the proleptic Gregorian calendar, for
// the tools, tests and benchmarks that make dated data. Calendar arithmetic on day numbers
// never meets a clock change.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

struct CivilDate {
  int y;
  int m;
  int d;
};

inline int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

inline CivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {static_cast<int>(yoe + era * 400 + (m <= 2)), m, d};
}

// 'YYYY-MM-DD' of a day number.
inline std::string CivilText(int64_t day) {
  const CivilDate c = CivilFromDays(day);
  char buf[32];  // room for any int, which GCC checks for at -O0
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.y, c.m, c.d);
  return buf;
}

// A 'YYYY-MM-DD' text of a day that exists (years 1000 to 9999): true and its day number, or
// false (2026-02-30, 2026-2-3, 2026-01-01x).
inline bool ParseCivilDate(const std::string& text, int64_t& day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  const int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)),
            d = std::stoi(text.substr(8, 2));
  if (y < 1000 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  const int64_t z = DaysFromCivil(y, m, d);
  const CivilDate back = CivilFromDays(z);
  if (back.m != m || back.d != d) return false;  // the 30th of February and its like
  day = z;
  return true;
}

// Today's day number by the local clock.
inline int64_t LocalToday() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
}

// A date 'yyyymmdd' as 'YYYY-MM-DD'; any other text as it stands.
inline std::string Dashed(const std::string& d) {
  return d.size() == 8 ? d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) : d;
}
