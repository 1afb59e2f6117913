#include "scan/Tgb_Param.h"

#include <cstdio>

void Tgb_DateText(const char (&day)[9], char (&out)[11]) {
  out[0] = day[6];
  out[1] = day[7];
  out[2] = '.';
  out[3] = day[4];
  out[4] = day[5];
  out[5] = '.';
  out[6] = day[0];
  out[7] = day[1];
  out[8] = day[2];
  out[9] = day[3];
  out[10] = '\0';
}

namespace {

template <typename... Args>
std::string Format(const char* fmt, Args... args) {
  const int n = std::snprintf(nullptr, 0, fmt, args...);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), fmt, args...);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

std::string Tgb_ParamLine(int consolidation, const char* schema_name, const TagSatz& tag) {
  char date[11];
  Tgb_DateText(tag.TagTag, date);
  if (consolidation == 1) return Format("%-20s,%-8s,%-10s\n", schema_name, tag.TagPnr, date);
  return Format("%-8s,%-10s\n", tag.TagPnr, date);
}
