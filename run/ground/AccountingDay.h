// The accounting day: the one day a night works on, as a value of its own. It is resolved once
// per night (the database's yesterday, or the day of a catch-up) and handed to whatever needs
// it: the scan, the journal, the rerun check, doctor, undo. Texts of it are made here only.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class AccountingDay {
 public:
  // The day `days` days after 1970-01-01 (negative: before).
  static AccountingDay FromNumber(std::int64_t days) { return AccountingDay(days); }
  // 'YYYY-MM-DD' (the operator's form, as --day takes it) or 'yyyymmdd' (the database's form).
  // Nothing for any other text or a day that does not exist (2026-02-30); years 1000 to 9999.
  static std::optional<AccountingDay> FromDashed(std::string_view text);
  static std::optional<AccountingDay> FromCompact(std::string_view text);

  std::int64_t Number() const { return days_; }
  std::string Compact() const;  // 'yyyymmdd'
  std::string Dashed() const;   // 'YYYY-MM-DD'
  // The parameter file's and run log's form 'DD.MM.YYYY'.
  std::string Dotted() const;

  AccountingDay operator+(std::int64_t n) const { return AccountingDay(days_ + n); }
  AccountingDay operator-(std::int64_t n) const { return AccountingDay(days_ - n); }
  std::int64_t operator-(const AccountingDay& other) const { return days_ - other.days_; }
  auto operator<=>(const AccountingDay&) const = default;

 private:
  explicit AccountingDay(std::int64_t days) : days_(days) {}
  std::int64_t days_ = 0;
};
