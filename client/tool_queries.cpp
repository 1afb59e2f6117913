#include "client/tool_queries.h"

namespace pvc {

namespace {

// A date text as an SQL literal: anything but digits, '-', ':' and blanks is dropped, so the
// range can never carry a quote into the text.
std::string Literal(const std::string& text) {
  std::string out = "'";
  for (char c : text)
    if ((c >= '0' && c <= '9') || c == '-' || c == ':' || c == ' ') out += c;
  return out + "'";
}

}  // namespace

std::string ShowDaysQuery(const std::string& from, const std::string& to) {
  return "SELECT t.TagPnr, t.TagTag, t.TagVon, t.TagUhr, t.TagBis, t.TagEnd, g.TgbSol, t.TagTgb,"
         " t.TagTgs, t.TagHtv, t.TagHvs, t.TagHtn, t.TagHns FROM Krv327Tag t LEFT JOIN Krv320Tgb g"
         " ON g.TgbPnr = t.TagPnr AND g.TgbDtm = t.TagTag AND g.TgbZtr = 1"
         " WHERE t.TagTag >= " +
         Literal(from) + " AND t.TagTag < " + Literal(to) + " ORDER BY t.TagPnr, t.TagTag";
}

std::string ShowBookingsQuery(const std::string& from, const std::string& to) {
  return "SELECT BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf, BchDat FROM Krv321Bch"
         " WHERE BchVon >= " +
         Literal(from) + " AND BchVon < " + Literal(to) + " ORDER BY BchPnr, BchVon, BchUhr, BchFkt";
}

}  // namespace pvc
