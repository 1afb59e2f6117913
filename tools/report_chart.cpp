// The nights over time (tools/report.h): follow-ups per night by type as stacked bars and each
// night's duration, drawn as inline SVG, with the figures in a table beside them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "run/ground/CivilDate.h"
#include "tools/report.h"

namespace {

// Colours with at least 3:1 contrast on white; the eighth stands for every other type.
const char* const kColours[] = {"#1f5f9f", "#b33c00", "#2e7d32", "#6a3d9a",
                                "#a0186a", "#00707a", "#5d4037", "#555555"};
constexpr size_t kNamed = 7;

constexpr double kW = 720, kH = 240, kLeft = 56, kRight = 12, kTop = 24, kBottom = 44;

std::string F(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// The top of an axis of four ticks, each 1, 2 or 5 times a power of ten (a whole number when
// `whole`), that reaches `v`.
double NiceTop(double v, bool whole) {
  if (v <= 0) return whole ? 4 : 1;
  const double p = std::pow(10.0, std::floor(std::log10(v / 4)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (4 * m * p >= v && (!whole || m * p >= 1)) return 4 * m * p;
  return 40 * p;
}

std::string G(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// A night's label under its bar: its day without the year.
std::string Label(const ReportPoint& p) {
  const std::string d = Dashed(p.header.day);
  return Report_Escape(d.size() > 5 ? d.substr(5) : d);
}

struct Frame {
  size_t n;
  double top;
  double Slot() const { return (kW - kLeft - kRight) / static_cast<double>(n); }
  double X(size_t i) const { return kLeft + Slot() * (static_cast<double>(i) + 0.15); }
  double Bar() const { return std::min(Slot() * 0.7, 48.0); }
  double Y(double v) const { return kTop + (kH - kTop - kBottom) * (1 - v / top); }
};

// The axes, the value ticks and every k-th night's label (the current one in bold).
std::string Axes(const Frame& f, const std::vector<ReportPoint>& s, const std::string& current,
                 const char* unit) {
  std::string out;
  for (int t = 0; t <= 4; ++t) {
    const double v = f.top * t / 4, y = f.Y(v);
    out += "<line class=\"grid\" x1=\"" + F(kLeft) + "\" x2=\"" + F(kW - kRight) + "\" y1=\"" +
           F(y) + "\" y2=\"" + F(y) + "\"/><text class=\"tick\" x=\"" + F(kLeft - 6) + "\" y=\"" +
           F(y + 4) + "\" text-anchor=\"end\">" + G(v) + "</text>";
  }
  out += "<text class=\"tick\" x=\"" + F(kLeft - 6) + "\" y=\"10\" text-anchor=\"end\">" + unit + "</text>";
  const size_t every = (s.size() + 11) / 12;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool now = s[i].file == current;
    if (i % every != 0 && !now) continue;
    out += "<text class=\"tick" + std::string(now ? " now" : "") + "\" x=\"" +
           F(f.X(i) + f.Bar() / 2) + "\" y=\"" + F(kH - kBottom + 16) +
           "\" text-anchor=\"middle\">" + Label(s[i]) + "</text>";
  }
  return out;
}

std::string Svg(const char* id, const std::string& title, const std::string& desc,
                const std::string& body, size_t nights) {
  return "<svg id=\"" + std::string(id) + "\" data-nights=\"" + std::to_string(nights) +
         "\" viewBox=\"0 0 " + F(kW) + " " + F(kH) + "\" role=\"img\" aria-labelledby=\"" + id +
         "-t " + id + "-d\"><title id=\"" + id + "-t\">" + Report_Escape(title) +
         "</title><desc id=\"" + id + "-d\">" + Report_Escape(desc) + "</desc>" + body + "</svg>";
}

}  // namespace

std::string Report_Chart(const std::vector<ReportPoint>& s, const std::string& current) {
  // The types, most booked first; those past the named colours are drawn as one.
  std::map<std::string, long long> totals;
  for (const ReportPoint& p : s)
    for (const auto& [code, n] : p.booked) totals[code] += n;
  std::vector<std::pair<std::string, long long>> types(totals.begin(), totals.end());
  std::stable_sort(types.begin(), types.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::map<std::string, size_t> colour;
  for (size_t i = 0; i < types.size(); ++i) colour[types[i].first] = std::min(i, kNamed);

  std::string out;
  if (s.size() < 2)
    out += "<p id=\"nights-one\">Only this night's journal was given: give several journals, or "
           "their folder, to see the nights over time.</p>\n";
  Frame f{std::max<size_t>(s.size(), 1), 1};
  double most = 0, longest = 0;
  for (const ReportPoint& p : s) {
    double sum = 0;
    for (const auto& [code, n] : p.booked) sum += n;
    most = std::max(most, sum);
    longest = std::max(longest, p.seconds);
  }
  f.top = NiceTop(most, true);
  std::string bars;
  for (size_t i = 0; i < s.size(); ++i) {
    double base = 0;
    long long sum = 0;
    std::string segs;
    std::vector<double> by(kNamed + 1, 0);
    for (const auto& [code, n] : s[i].booked) by[colour[code]] += n, sum += n;
    for (size_t c = 0; c <= kNamed; ++c) {
      if (by[c] == 0) continue;
      const std::string name = c < kNamed && c < types.size() ? types[c].first : "other types";
      segs += "<rect x=\"" + F(f.X(i)) + "\" y=\"" + F(f.Y(base + by[c])) + "\" width=\"" +
              F(f.Bar()) + "\" height=\"" + F(f.Y(base) - f.Y(base + by[c])) + "\" fill=\"" +
              kColours[c] + "\"><title>" + Report_Day(s[i].header.day) + ": " + Report_Escape(name) +
              " " + std::to_string(static_cast<long long>(by[c])) + "</title></rect>";
      base += by[c];
    }
    bars += "<g class=\"night\" data-day=\"" + s[i].header.day + "\" data-total=\"" +
            std::to_string(sum) + "\">" + segs + "</g>";
  }
  out += "<figure>\n" +
         Svg("chart-followups", "Follow-ups booked per night, by type",
             "Stacked bars, one per night, oldest first; " + std::to_string(s.size()) +
                 " nights, at most " + std::to_string(static_cast<long long>(most)) +
                 " follow-ups in one night.",
             Axes(f, s, current, "count") + bars, s.size()) +
         "\n<figcaption>Follow-ups booked per night, by type. <span class=\"legend\">";
  for (size_t c = 0; c < types.size() && c <= kNamed; ++c)
    out += "<span><span class=\"sw\" style=\"background:" + std::string(kColours[c]) + "\"></span>" +
           Report_Escape(c < kNamed ? types[c].first : "other types") + "</span> ";
  out += "</span></figcaption>\n</figure>\n";

  const bool minutes = longest >= 120;
  Frame d{f.n, NiceTop(minutes ? longest / 60 : longest, false)};
  std::string dur;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i].seconds < 0) continue;
    const double v = minutes ? s[i].seconds / 60 : s[i].seconds;
    dur += "<rect class=\"dur\" x=\"" + F(d.X(i)) + "\" y=\"" + F(d.Y(v)) + "\" width=\"" +
           F(d.Bar()) + "\" height=\"" + F(d.Y(0) - d.Y(v)) + "\"><title>" +
           Report_Day(s[i].header.day) + ": " + F(s[i].seconds) + " s</title></rect>";
  }
  out += "<figure>\n" +
         Svg("chart-duration", "Duration of each night",
             "Bars, one per night, oldest first, in " + std::string(minutes ? "minutes" : "seconds") + ".",
             Axes(d, s, current, minutes ? "min" : "s") + dur, s.size()) +
         "\n<figcaption>Duration of each night (" + (minutes ? "minutes" : "seconds") +
         ").</figcaption>\n</figure>\n";

  // The figures, for readers who do not see the bars.
  out += "<details><summary>The figures</summary>\n<table id=\"t-nights\"><caption>Follow-ups "
         "booked and duration per night</caption>\n<thead><tr><th scope=\"col\">Accounting day</th>"
         "<th scope=\"col\">Start</th>";
  for (const auto& [code, n] : types) out += "<th scope=\"col\" class=\"n\">" + Report_Escape(code) + "</th>";
  out += "<th scope=\"col\" class=\"n\">All</th><th scope=\"col\" class=\"n\">Seconds</th></tr></thead>\n<tbody>";
  for (const ReportPoint& p : s) {
    long long sum = 0;
    out += "<tr><th scope=\"row\">" + Report_Day(p.header.day) + "</th><td>" + Report_Escape(p.header.start) + "</td>";
    for (const auto& [code, n] : types) {
      const auto it = p.booked.find(code);
      const long long v = it == p.booked.end() ? 0 : it->second;
      sum += v;
      out += "<td class=\"n\">" + std::to_string(v) + "</td>";
    }
    out += "<td class=\"n\">" + std::to_string(sum) + "</td><td class=\"n\">" +
           (p.seconds < 0 ? std::string("-") : (p.end_from_file ? "~" : "") + F(p.seconds)) +
           (p.finished ? "" : " (did not finish)") + "</td></tr>";
  }
  out += "</tbody></table>\n</details>\n";
  return out;
}
