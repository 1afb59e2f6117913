#include "tools/explain.h"

#include <array>
#include <charconv>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

// ---- reading a step's inputs -----------------------------------------------------------

struct In {
  const ordered_json& i;
  std::string T(const char* k) const {
    return i.contains(k) && i[k].is_string() ? i[k].get<std::string>() : std::string();
  }
  long long N(const char* k) const {
    return i.contains(k) && i[k].is_number_integer() ? i[k].get<long long>() : 0;
  }
};

std::string S(long long n) { return std::to_string(n); }

// 'yyyymmdd' as 'YYYY-MM-DD'; anything else as it stands.
std::string Date(const std::string& d) {
  return d.size() == 8 ? d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) : d;
}
// 'HHMMSS' as 'HH:MM' (with ':SS' when the seconds are not 0).
std::string Time(const std::string& t) {
  if (t.size() != 6) return t;
  std::string out = t.substr(0, 2) + ":" + t.substr(2, 2);
  return t.substr(4, 2) == "00" ? out : out + ":" + t.substr(4, 2);
}
std::string Code(const std::string& c) { return c.empty() ? "(no code)" : c; }
std::string Pair(const In& in, const char* code, const char* value) {
  return in.T(code).empty() ? "-" : in.T(code) + "/" + S(in.N(value));
}
std::string Pairs(const In& in) {
  return "TagTgb/TagTgs " + Pair(in, "TagTgb", "TagTgs") + ", TagHtv/TagHvs " +
         Pair(in, "TagHtv", "TagHvs") + ", TagHtn/TagHns " + Pair(in, "TagHtn", "TagHns");
}
std::string Frame(const In& in) {
  std::string f = Time(in.T("TagUhr")) + "–" + Time(in.T("TagEnd"));
  if (in.T("TagVon") != in.T("TagTag") || in.T("TagBis") != in.T("TagTag"))
    f = Date(in.T("TagVon")) + " " + Time(in.T("TagUhr")) + " – " + Date(in.T("TagBis")) + " " +
        Time(in.T("TagEnd"));
  return f;
}
std::string Plural(long long n, const char* one) {
  return S(n) + " " + one + (n == 1 ? "" : "s");
}
// A booking as "KRA (function 1) at 00:00 on 2026-12-08".
std::string Booking(const In& in) {
  std::string b = Code(in.T("BchFcd")) + " (function " + S(in.N("BchFkt")) + ") at " +
                  Time(in.T("BchUhr"));
  if (!in.T("BchVon").empty()) b += " on " + Date(in.T("BchVon"));
  return b;
}
// The follow-up type as read: "KRF (kind 1, priority 20, tie rule 1, no target-time check,
// value rule 1)".
std::string FollowUp(const In& in) {
  const std::string code = in.T("FcdFlg");
  if (in.N("type_found") == 0)
    return code + ", which names no message type: it goes on with kind 0, priority 0, tie rule 0, "
                  "no target-time check and value rule 0";
  return code + " (kind " + S(in.N("FcdTyp")) + ", priority " + S(in.N("FcdPri")) +
         ", tie rule " + S(in.N("FcdGpu")) + ", " +
         (in.N("FcdSol") == 1 ? "only on days with a target time" : "no target-time check") +
         ", value rule " + S(in.N("FcdZwt")) + ")";
}
const char* ValueSource(long long zwt, long long typ) {
  switch (zwt) {
    case 1: return typ == 2 || typ == 3 ? "half the plan's AzvSol (kind 2 and 3 take half)" : "the plan's AzvSol";
    case 2: return "the plan's AzvSo2";
    case 3: return "the plan's AzvHso";
    case 4: return "the plan's AzvHs2";
    case 14: return "the type's fixed value FcdStd";
    case 15: return "the plan's AzvSol + AzvVhs";
    case 16: return "the plan's AzvHso + AzvHtv";
    case 17: return "the plan's AzvSo2 + AzvVhs";
    case 18: return "the plan's AzvHs2 + AzvHtv";
    default: return "no value (the rule is not one of 1-4, 14-18)";
  }
}

// ---- one line per decision --------------------------------------------------------------

std::string Search(const std::string& o, const In& in) {
  const std::string d = Date(in.T("TagTag"));
  const long long dm = in.N("day_messages");
  const std::string day_code = Code(in.T("TagTgb"));
  const std::string whole = dm > 0 ? Plural(dm, "whole-day booking") + " (function 1)" : "";
  if (o == "reference-day-by-day-messages")
    return d + ": " + whole + "; its day code " + day_code + " is continued as " +
           in.T("FcdFlg") + ": this is the reference day, found through its day messages.";
  if (o == "stops-no-follow-up") {
    std::string why = in.N("type_found") != 0 ? "has no follow-up"
                                              : "names no message type (treated as no follow-up)";
    if (in.N("passed_over") != 0) why += ", and a day was passed over once already";
    return d + ": " + whole + "; its day code " + day_code + " " + why +
           ": the search stops here; older days are not looked at and nothing is carried over.";
  }
  std::string passed;
  if (in.N("passed_over") != 0 && dm > 0)
    passed = whole + "; its day code " + day_code +
             " has no follow-up but function code 24: the day is passed over once and its hour "
             "bookings count; ";
  else if (dm == 0)
    passed = "no whole-day booking; ";
  if (o == "reference-day-by-hour-messages")
    return d + ": " + passed + Plural(in.N("hour_messages"), "hour booking") + " within " +
           Frame(in) + ": this is the reference day, found through its hour messages.";
  if (o == "walked-past")
    return d + ": " + passed + "no hour booking within " + Frame(in) + ": walked past.";
  if (o == "read-failed")
    return d + ": reading " + in.T("read") + " failed (RC " + S(in.N("rc")) +
           "): the search stops; nothing is carried over.";
  return d + ": " + o;
}

std::string Message(const std::string& o, const In& in) {
  const std::string b = Booking(in);
  if (o == "carried") return b + ": continued as " + FollowUp(in) + ".";
  if (o == "no-follow-up") return b + ": its type has no follow-up, nothing to carry on.";
  if (o == "type-unknown-or-retired") {
    if (in.i.contains("FcdSta"))
      return b + ": its message type is retired (status " + S(in.N("FcdSta")) +
             ", only types below 4 count): not carried on.";
    return b + ": no message type of that code in use (unknown, or retired): not carried on.";
  }
  if (o == "follow-up-read-failed")
    return b + ": its follow-up " + in.T("FcdFlg") + " could not be read (RC " + S(in.N("rc")) +
           "): not carried on.";
  if (o == "read-failed")
    return b + ": its type could not be read (RC " + S(in.N("rc")) + "): not carried on.";
  if (o == "key-too-long")
    return "A booking whose key or code does not fit its field (RC " + S(in.N("rc")) +
           ") was passed over.";
  if (o == "none-in-frame")
    return "No booking lies within the reference day's frame (cancelled and function-29 "
           "bookings left out): no hour message is carried on.";
  if (o == "not-an-hour-message")
    return "The newest booking within the reference day's frame is " + b +
           ": only an hour message of function 23 or 24 is carried on.";
  return b + ": " + o;
}

std::string Competitor(const std::string& o, const In& in) {
  const std::string b = Booking(in), fu = in.T("follow_up");
  const std::string pb = "priority " + S(in.N("FcdPri")), pf = "priority " + S(in.N("follow_up_FcdPri"));
  const std::string both = Code(in.T("BchFcd")) + " and " + fu + " both have " + pf + "; " + fu +
                           "'s tie rule " + S(in.N("FcdGpu"));
  if (o == "ranks-higher-blocks")
    return b + " (" + pb + ") ranks above " + fu + " (" + pf + "): " + fu + " is not booked.";
  if (o == "tie-rule-blocks") return both + " lets the booking win: " + fu + " is not booked.";
  if (o == "ranks-lower-cancels")
    return b + " (" + pb + ") ranks below " + fu + " (" + pf + "): the booking is cancelled (function 45).";
  if (o == "tie-rule-cancels")
    return both + " lets the follow-up win: " + b + " is cancelled (function 45).";
  if (o == "tie-rule-ignored")
    return both + " passes the booking over: the next one is weighed.";
  if (o == "kept-under-target-check")
    return b + " (" + pb + ") ranks below " + fu + " (" + pf + "), but " + fu +
           " needs a target time and the day has " + S(in.N("TgbSol")) + ": the booking stays.";
  if (o == "no-code-ignored") return "A booking at " + Time(in.T("BchUhr")) + " without a code is ignored.";
  if (o == "no-type-ignored") return b + " names no message type: ignored in the ranking.";
  if (o == "read-failed-blocks")
    return b + ": its type could not be read (RC " + S(in.N("rc")) + "): " + fu + " is not booked.";
  return b + ": " + o;
}

std::string Line(const std::string& step, const std::string& kind, const std::string& o,
                 const In& in, const ExplainFrame& f) {
  if (step == "day")
    return "The day record of " + f.pnr + " for " + Date(in.T("TagTag")) + " is a placeholder (" +
           Frame(in) + ") with target time " + S(in.N("TgbSol")) +
           ": the night works on it. Before: " + Pairs(in) + ".";
  if (step == "search" && kind == "earlier-day") return Search(o, in);
  if (step == "search")
    return o == "no-earlier-day" ? "No earlier day is left: nothing is carried over."
                                 : "Reading the earlier days failed (RC " + S(in.N("rc")) +
                                       "): nothing is carried over.";
  if ((step == "day-messages" || step == "hour-message") && kind == "booking") return Message(o, in);
  if (step == "day-messages") {
    if (o == "read-failed")
      return "Reading the reference day's bookings failed (RC " + S(in.N("rc")) + ").";
    const long long n = in.N("bookings");
    if (n == 0) return "The reference day has no day booking (function 1, 2 or 3).";
    return "(The reference day's " + Plural(n, "day booking") +
           " were walked in the database's order, which it does not fix.)";
  }
  if (step == "ranking" && kind == "competitor") return Competitor(o, in);
  if (step == "ranking" && kind == "cancellation") {
    if (o == "cancelled") return "The booking " + Code(in.T("BchFcd")) + " at " + Time(in.T("BchUhr")) + " is cancelled.";
    if (o == "cancelled-after-deleting-old")
      return "An older cancelled booking at " + Time(in.T("BchUhr")) +
             " was in the way: it was deleted and " + Code(in.T("BchFcd")) + " cancelled.";
    return "Cancelling " + Code(in.T("BchFcd")) + " failed (RC " + S(in.N("rc")) +
           "); the follow-up goes ahead anyway.";
  }
  if (step == "ranking") {
    const std::string fu = in.T("follow_up");
    if (o == "read-failed")
      return "Reading the day's bookings failed (RC " + S(in.N("rc")) + "): " + fu + " is not booked.";
    const long long n = in.N("bookings");
    return n == 0 ? "No other day booking on " + Date(f.day) + ": nothing stands in " + fu + "'s way."
                  : "None of the " + Plural(n, "day booking") + " decides: nothing stands in " +
                        fu + "'s way.";
  }
  if (step == "booking" && kind == "target-check")
    return in.T("FcdNum") + " is only booked on days with a target time; " + Date(f.day) +
           " has target time " + S(in.N("TgbSol")) + ": nothing is booked.";
  if (step == "booking" && kind == "insert") {
    const std::string b = Code(in.T("BchFcd")) + " (function " + S(in.N("BchFkt")) + ")";
    if (o == "booked") return "Books " + b + " on " + Date(in.T("BchVon")) + " at 00:00.";
    if (o == "existed")
      return "A " + b + " booking at 00:00 existed already; the day record is still written.";
    return "Booking " + b + " failed (RC " + S(in.N("rc")) + ").";
  }
  if (step == "booking" && kind == "plan") {
    if (o == "found")
      return "Working-time plan " + in.T("AzvNum") + " applies on " + Date(f.day) + " (AzvSol " +
             S(in.N("AzvSol")) + ", AzvSo2 " + S(in.N("AzvSo2")) + ", AzvHso " + S(in.N("AzvHso")) +
             ", AzvHs2 " + S(in.N("AzvHs2")) + ", AzvVhs " + S(in.N("AzvVhs")) + ", AzvHtv " +
             S(in.N("AzvHtv")) + ").";
    if (o == "none")
      return "No working-time plan applies to " + f.pnr + " on " + Date(f.day) +
             ": the plan's values count as 0.";
    return "Reading the working-time plan failed (RC " + S(in.N("rc")) + ")" +
           (in.N("needed") != 0 ? ": the value rule needs it, so the day record is left alone."
                                : "; the value rule does not need it.");
  }
  if (step == "booking" && kind == "target-value")
    return "Target value by value rule " + S(in.N("FcdZwt")) + ": " +
           ValueSource(in.N("FcdZwt"), in.N("FcdTyp")) + " = " + S(in.N("value")) + ".";
  if (step == "booking" && kind == "day-record") {
    if (o == "written") return "Day record written: " + Pairs(in) + ".";
    if (o == "failed") return "Updating the day record failed (RC " + S(in.N("rc")) + ").";
    return "The day record is left alone (RC " + S(in.N("rc")) + "): what it would say is not so.";
  }
  if (step == "parameter") {
    if (o == "written") return "Listed in the parameter file as '" + in.T("line") + "'.";
    if (o == "no-follow-up") return "Not listed in the parameter file: no follow-up was booked.";
    if (o == "no-reference-day")
      return "Not listed in the parameter file: no reference day, nothing was carried over.";
    if (o == "pnr-refused")
      return "Not listed: the person number holds a comma or a control character.";
    if (o == "connection-lost")
      return "Not listed: the night lost its database connection on this day.";
    return "The parameter line could not be written.";
  }
  if (step == "night")
    return "The night lost its database connection on this day; later persons were not worked on.";
  return step + " " + kind + ": " + o;
}

const char* Heading(const std::string& step, const In& in, const ExplainFrame& f,
                    std::string& text) {
  if (step == "day") return "Day record";
  if (step == "search") return (text = "Reference-day search, looking back from " + Date(f.day)).c_str();
  if (step == "day-messages") return "Day messages of the reference day";
  if (step == "hour-message") return "Hour message of the reference day";
  if (step == "ranking")
    return (text = "Ranking " + in.T("follow_up") + " against the day's bookings").c_str();
  if (step == "booking") return "Booking and day record";
  if (step == "parameter") return "Parameter file";
  return "The night";
}

// The characters a JSON string holds as they stand.
constexpr auto kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

// Appends `t` as a JSON string, as nlohmann's dump() writes it: quotation mark, backslash and
// the control characters escaped, the rest as it stands. A text with a byte above 0x7F goes
// through dump() itself, which checks its UTF-8: a byte that is no UTF-8 (a code stored in
// another encoding) becomes U+FFFD rather than ending the night.
void AppendString(std::string& out, std::string_view t) {
  size_t i = 0;
  while (i < t.size() && kPlain[static_cast<unsigned char>(t[i])]) ++i;
  if (i == t.size()) {  // the common case: one copy, no escape
    const size_t at = out.size();
    out.resize(at + t.size() + 2);
    char* p = out.data() + at;
    *p = '"';
    if (!t.empty()) std::memcpy(p + 1, t.data(), t.size());  // an empty view may hold no pointer
    p[t.size() + 1] = '"';
    return;
  }
  const size_t start = out.size();
  out += '"';
  size_t plain = 0;  // where the characters not yet appended begin
  for (; i < t.size(); ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (kPlain[c]) continue;
    if (c >= 0x80) {
      out.resize(start);
      out += json(std::string(t)).dump(-1, ' ', false, json::error_handler_t::replace);
      return;
    }
    out.append(t.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        static const char kHex[] = "0123456789abcdef";
        const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(u, sizeof u);
      }
    }
  }
  out.append(t.data() + plain, t.size() - plain);
  out += '"';
}

}  // namespace

// Built straight as text into the caller's buffer, without a JSON object per decision (a
// journal writes thousands of them a night), as nlohmann's dump() would write them. (An input
// named twice would be written twice; a reader keeps the last value.)
void Explain_AppendJournalLine(std::string& line, const char* pnr, const Decision& d) {
  line += "{\"p\":";
  AppendString(line, pnr);
  line += ",\"s\":";
  AppendString(line, d.step);
  line += ",\"k\":";
  AppendString(line, d.kind);
  line += ",\"o\":";
  AppendString(line, d.outcome);
  line += ",\"i\":{";
  bool first = true;
  for (const DecisionInput& v : d.inputs) {
    if (!first) line += ',';
    first = false;
    AppendString(line, v.key);
    line += ':';
    if (v.is_num) {
      char digits[24];
      const auto end = std::to_chars(digits, digits + sizeof digits, v.num).ptr;
      line.append(digits, static_cast<size_t>(end - digits));
    } else {
      AppendString(line, v.text);
    }
  }
  line += "}}";
}

std::string Explain_JournalLine(const char* pnr, const Decision& d) {
  std::string line;
  line.reserve(256);
  Explain_AppendJournalLine(line, pnr, d);
  return line;
}

bool Explain_FromJournal(const std::string& text, std::string& pnr, ExplainStep& step) {
  // Parsed in order, so that the inputs keep the order the rule reported them in.
  ordered_json line = ordered_json::parse(text, nullptr, false);
  if (line.is_discarded() || !line.is_object()) return false;
  for (const char* k : {"p", "s", "k", "o"})
    if (!line.contains(k) || !line[k].is_string()) return false;
  pnr = line["p"].get<std::string>();
  // Moved rather than copied: a night's report reads hundreds of thousands of them.
  ordered_json inputs = ordered_json::object();
  if (line.contains("i") && line["i"].is_object()) inputs = std::move(line["i"]);
  step = ordered_json::object();
  step["step"] = std::move(line["s"]);
  step["kind"] = std::move(line["k"]);
  step["outcome"] = std::move(line["o"]);
  step["inputs"] = std::move(inputs);
  return true;
}

ordered_json Explain_Outcome(const std::vector<ExplainStep>& steps) {
  ordered_json out = {{"booked", json::array()},
                      {"cancelled", json::array()},
                      {"refused", json::array()},
                      {"parameter_line", nullptr},
                      {"day_record", nullptr}};
  ordered_json pending_cancel;
  for (const ExplainStep& s : steps) {
    const std::string step = s["step"], kind = s["kind"], o = s["outcome"];
    const In in{s["inputs"]};
    if (kind == "insert" && (o == "booked" || o == "existed"))
      out["booked"].push_back({{"BchFcd", in.T("BchFcd")}, {"BchFkt", in.N("BchFkt")}});
    if (kind == "competitor" && o.find("-cancels") != std::string::npos)
      pending_cancel = {{"BchFcd", in.T("BchFcd")}, {"BchVon", in.T("BchVon")}, {"BchUhr", in.T("BchUhr")}};
    if (kind == "cancellation" && o != "failed" && !pending_cancel.is_null())
      out["cancelled"].push_back(pending_cancel);
    if (kind == "cancellation") pending_cancel = nullptr;
    if (kind == "competitor" && o.find("blocks") != std::string::npos)
      out["refused"].push_back({{"FcdNum", in.T("follow_up")}, {"why", o}});
    if (step == "ranking" && kind == "end" && o == "read-failed")
      out["refused"].push_back({{"FcdNum", in.T("follow_up")}, {"why", "read-failed"}});
    if (kind == "target-check")
      out["refused"].push_back({{"FcdNum", in.T("FcdNum")}, {"why", "no-target-time"}});
    if (step == "parameter" && o == "written") out["parameter_line"] = in.T("line");
    if (kind == "day-record" && o == "written") {
      ordered_json rec;
      for (const char* k : {"TagTgb", "TagTgs", "TagHtv", "TagHvs", "TagHtn", "TagHns"})
        rec[k] = s["inputs"][k];
      out["day_record"] = rec;
    }
  }
  return out;
}

std::string Explain_WriteText(const ordered_json& w) {
  const std::string change = w.value("change", "");
  const auto text = [](const ordered_json& o, const char* k) {
    return o.contains(k) && o[k].is_string() ? o[k].get<std::string>()
           : o.contains(k)                   ? o[k].dump()
                                             : std::string();
  };
  if (change == "insert")
    return "Booked " + text(w["row"], "BchFcd") + " (function " + text(w["row"], "BchFkt") +
           ") on " + text(w["row"], "BchVon") + " at " + text(w["row"], "BchUhr") + ".";
  if (change == "function")
    return "The booking of " + text(w["key"], "BchVon") + " at " + text(w["key"], "BchUhr") +
           " changed from function " + text(w["before"], "BchFkt") + " to " +
           text(w["after"], "BchFkt") + ".";
  if (change == "delete")
    return "Deleted the booking " + text(w["row"], "BchFcd") + " (function " +
           text(w["row"], "BchFkt") + ") of " + text(w["row"], "BchVon") + " at " +
           text(w["row"], "BchUhr") + ".";
  if (change == "day") return "Day record written: " + w["before"].dump() + " -> " + w["after"].dump();
  return w.dump();
}

std::vector<std::string> Explain_Text(const ExplainFrame& f, const std::vector<ExplainStep>& steps) {
  std::vector<std::string> out;
  out.push_back(f.pnr + " on " + Date(f.day) + ", " + f.source + ":");
  std::string last, text;
  bool ranking_open = false;
  int weighed = 0;
  const auto ends_with = [](const std::string& t, const char* tail) {
    return t.size() >= std::strlen(tail) && t.compare(t.size() - std::strlen(tail), std::string::npos, tail) == 0;
  };
  for (const ExplainStep& s : steps) {
    const std::string step = s["step"], kind = s["kind"], o = s["outcome"];
    const In in{s["inputs"]};
    // The end of the reference day's day messages says something only when there were none, a
    // read failed, or several came in an order the database chose.
    if (step == "day-messages" && kind == "end" && o == "walked" && in.N("bookings") > 0 &&
        (in.N("bookings") == 1 || !f.order_is_databases))
      continue;
    // Each follow-up weighed gets a ranking of its own.
    if (step != last || (step == "ranking" && !ranking_open)) {
      out.push_back(std::string("  ") + Heading(step, in, f, text));
      if (step == "ranking") ranking_open = true, weighed = 0;
    }
    out.push_back("    " + Line(step, kind, o, in, f));
    last = step;
    if (kind == "competitor") ++weighed;
    const bool ends = step == "ranking" &&
                      (kind == "end" || kind == "cancellation" ||
                       (kind == "competitor" && !ends_with(o, "-ignored") && !ends_with(o, "-cancels")));
    if (ends) {
      if (weighed > 1 && f.order_is_databases)
        out.push_back("    (The bookings were weighed in the database's order, which it does not "
                      "fix; the first that decides counts.)");
      ranking_open = false;
    }
  }
  const ordered_json r = Explain_Outcome(steps);
  std::string summary = "  Outcome: ";
  std::string sep;
  for (const auto& b : r["booked"]) summary += sep + "booked " + b["BchFcd"].get<std::string>(), sep = "; ";
  for (const auto& c : r["cancelled"])
    summary += sep + "cancelled " + c["BchFcd"].get<std::string>() + " at " +
               Time(c["BchUhr"].get<std::string>()),
        sep = "; ";
  for (const auto& x : r["refused"]) summary += sep + "refused " + x["FcdNum"].get<std::string>(), sep = "; ";
  if (sep.empty()) summary += "nothing booked";
  summary += r["parameter_line"].is_null() ? "; no parameter line." : "; listed in the parameter file.";
  out.push_back(summary);
  return out;
}
