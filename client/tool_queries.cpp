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
  return Tool_Sql(ToolOp::ShowDays, {Literal(from), Literal(to)});
}

std::string ShowBookingsQuery(const std::string& from, const std::string& to) {
  return Tool_Sql(ToolOp::ShowBookings, {Literal(from), Literal(to)});
}

}  // namespace pvc
