// parvekctl gen NET8 SCHEMA --persons N --days D --seed S [options]: fills a schema with a
// reproducible synthetic population for benchmarks and load tests.
//
// Every person gets D days of history before the accounting day (yesterday) and a placeholder
// day record on the accounting day. History: day records with frames 06:00-20:00 and their
// day-evaluation rows (TgbZtr 1), a working-time assignment per day, come/go bookings on working
// days, now and then an hour message as the day's last booking, and absences booked as whole-day
// messages (illness, leave, training, cure) with their follow-up codes. About a fifth of the
// persons end their history with a message that the night carries on; some find a competing
// day message already booked on the accounting day. A share of persons (--deep-share) has had
// no booking for hundreds of days before an illness, so that their reference-day search walks
// deep; --deep-days K puts every person's reference day exactly K days back.
//
// The same seed, sizes and accounting day give the same rows: each person draws from a random
// stream of its own, seeded from the seed and the person's index.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "run/ground/CivilDate.h"
#include "tools/ctl.h"

namespace {

bool IsWeekend(int64_t day) {                  // 1970-01-01 was a Thursday
  const int64_t wd = ((day % 7) + 7 + 3) % 7;  // 0 = Monday
  return wd >= 5;
}

// A person's random stream (splitmix64).
struct Rng {
  uint64_t s;
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int Below(int n) { return n <= 1 ? 0 : static_cast<int>(Next() % static_cast<uint64_t>(n)); }
  bool Chance(double p) { return static_cast<double>(Next() >> 11) * 0x1.0p-53 < p; }
};

struct Options {
  CtlTarget target;
  std::string today_text;  // --today
  int64_t persons = 0;
  int days = 0;
  int64_t seed = 0;
  double deep_share = 0.02;
  int deep_days = 0;  // 0: no fixed depth
  int64_t today = 0;  // days since 1970 of "today"; the accounting day is the day before
};

// Rows of one table, loaded in batches; row objects are reused so that their texts keep
// their buffers.
class Batch {
 public:
  Batch(pvc::Session& s, const char* table, std::vector<std::string> cols)
      : s_(s), table_(table), cols_(std::move(cols)) {}

  pvc::Row& Next() {
    if (used_ == rows_.size()) rows_.emplace_back(cols_.size());
    ++total_;
    return rows_[used_++];
  }
  // Loads the rows when the batch is full (or always, with `force`). 0 or the load's code.
  int Flush(bool force) {
    if (used_ < kRows && !force) return pvc::kOk;
    rows_.resize(used_);
    const int rc = used_ == 0 ? pvc::kOk : pvc::ToolsOf(s_).BulkInsert(table_, cols_, rows_);
    used_ = 0;
    return rc;
  }
  const char* table() const { return table_; }
  uint64_t total() const { return total_; }

 private:
  static constexpr size_t kRows = 50000;
  pvc::Session& s_;
  const char* table_;
  std::vector<std::string> cols_;
  std::vector<pvc::Row> rows_;
  size_t used_ = 0;
  uint64_t total_ = 0;
};

void Txt(pvc::Cell& c, const std::string& v) {
  c.null = false;
  c.is_int = false;
  c.text.assign(v);
}
void Int(pvc::Cell& c, int64_t v) {
  c.null = false;
  c.is_int = true;
  c.num = v;
}
void Null(pvc::Cell& c) {
  c.null = true;
  c.is_int = false;
  c.text.clear();
}

// The message types: day messages with and without follow-up, hour messages, follow-ups.
// Columns: FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd, FcdFlg, FcdSta.
struct FcdDef {
  const char* num;
  int typ, zwt, std, sol, pri, gpu, fcd;  // fcd -1: NULL
  const char* flg;                        // nullptr: NULL
};
constexpr FcdDef kFcd[] = {
    {"KRA", 1, 1, 0, 0, 20, 0, -1, "KRF"},    // illness
    {"KRF", 1, 1, 0, 0, 20, 1, -1, "KRF"},    // illness continued
    {"URL", 1, 1, 0, 0, 10, 0, -1, nullptr},  // leave
    {"SCH", 1, 1, 0, 0, 30, 0, -1, nullptr},  // training
    {"SUR", 1, 1, 0, 0, 5, 0, -1, nullptr},   // special leave
    {"DGR", 1, 1, 0, 0, 25, 0, 24, nullptr},  // business trip: passed over by the search
    {"KUR", 1, 2, 0, 0, 15, 0, -1, "KUF"},    // cure
    {"KUF", 1, 2, 0, 1, 15, 1, -1, "KUF"},    // cure continued, only on days with target time
    {"KRH", 2, 3, 0, 0, 50, 0, 24, "KRF"},    // went home sick (hour message, function 24)
    {"ARZ", 2, 4, 0, 0, 40, 0, 23, "ARF"},    // doctor's visit (hour message, function 23)
    {"ARF", 2, 4, 0, 0, 40, 1, -1, nullptr},  // doctor's visit continued
};

// Working-time plans: number, target minutes and the other values.
struct AzvDef {
  const char* num;
  int sol, so2, vhs, hso, hs2, htv;
};
constexpr AzvDef kAzv[] = {
    {"VZ40", 480, 240, 30, 240, 120, 60},
    {"TZ30", 360, 180, 20, 180, 90, 45},
    {"TZ20", 240, 120, 15, 120, 60, 30},
};

class Generator {
 public:
  Generator(pvc::Session& s, const Options& o)
      : o_(o),
        tag_(s, "Krv327Tag",
             {"TagPnr", "TagTag", "TagVon", "TagUhr", "TagBis", "TagEnd", "TagTgb", "TagTgs"}),
        tgb_(s, "Krv320Tgb", {"TgbPnr", "TgbDtm", "TgbZtr", "TgbSol"}),
        bch_(s, "Krv321Bch",
             {"BchPnr", "BchVon", "BchUhr", "BchFkt", "BchFcd", "BchErf", "BchDat"}),
        ztg_(s, "Krv329Ztg", {"ZtgPnr", "ZtgVon", "ZtgAzt", "ZtgSta"}),
        fcd_(s, "Krv131Fcd",
             {"FcdNum", "FcdTyp", "FcdZwt", "FcdStd", "FcdSol", "FcdPri", "FcdGpu", "FcdFcd",
              "FcdFlg", "FcdSta"}),
        azv_(s, "Krv140Azv",
             {"AzvNum", "AzvSol", "AzvSo2", "AzvVhs", "AzvHso", "AzvHs2", "AzvHtv", "AzvGvo",
              "AzvGbi", "AzvSta"}) {
    yesterday_ = o.today - 1;
    first_ = yesterday_ - o.days;
    for (int64_t d = first_; d <= yesterday_; ++d) day_text_.push_back(CivilText(d));
  }

  int Run() {
    int rc = Constants();
    const auto t0 = std::chrono::steady_clock::now();
    auto last_report = t0;
    const bool report = o_.persons * (o_.days + 1) >= 1000000;
    for (int64_t p = 0; rc == pvc::kOk && p < o_.persons; ++p) {
      Person(p);
      for (Batch* b : All()) {
        if (rc == pvc::kOk) rc = b->Flush(false);
      }
      const auto now = std::chrono::steady_clock::now();
      if (report && now - last_report >= std::chrono::seconds(5)) {
        last_report = now;
        std::fprintf(stderr, "gen: %lld/%lld persons, %llu rows, %.0f s\n",
                     static_cast<long long>(p + 1), static_cast<long long>(o_.persons),
                     static_cast<unsigned long long>(Rows()),
                     std::chrono::duration<double>(now - t0).count());
      }
    }
    for (Batch* b : All()) {
      if (rc == pvc::kOk) rc = b->Flush(true);
    }
    return rc;
  }

  std::vector<Batch*> All() { return {&fcd_, &azv_, &tag_, &tgb_, &bch_, &ztg_}; }
  uint64_t Rows() {
    uint64_t n = 0;
    for (Batch* b : All()) n += b->total();
    return n;
  }

 private:
  int Constants() {
    for (const FcdDef& f : kFcd) {
      pvc::Row& r = fcd_.Next();
      Txt(r[0], f.num);
      Int(r[1], f.typ);
      Int(r[2], f.zwt);
      Int(r[3], f.std);
      Int(r[4], f.sol);
      Int(r[5], f.pri);
      Int(r[6], f.gpu);
      if (f.fcd < 0)
        Null(r[7]);
      else
        Int(r[7], f.fcd);
      if (f.flg == nullptr)
        Null(r[8]);
      else
        Txt(r[8], f.flg);
      Int(r[9], 0);
    }
    for (const AzvDef& a : kAzv) {
      pvc::Row& r = azv_.Next();
      Txt(r[0], a.num);
      Int(r[1], a.sol);
      Int(r[2], a.so2);
      Int(r[3], a.vhs);
      Int(r[4], a.hso);
      Int(r[5], a.hs2);
      Int(r[6], a.htv);
      Txt(r[7], "2000-01-01 00:00:00");
      Null(r[8]);
      Int(r[9], 0);
    }
    const int rc = fcd_.Flush(true);
    return rc == pvc::kOk ? azv_.Flush(true) : rc;
  }

  const std::string& DayText(int64_t day) const {
    return day_text_[static_cast<size_t>(day - first_)];
  }
  std::string At(int64_t day, const char* hms) const { return DayText(day) + " " + hms; }
  std::string AtMinute(int64_t day, int minute) const {
    char buf[32];  // room for any int, which GCC checks for at -O0
    std::snprintf(buf, sizeof buf, " %02d:%02d:00", minute / 60, minute % 60);
    return DayText(day) + buf;
  }

  // A day record with its day-evaluation row and working-time assignment.
  void Day(int64_t day, const char* from, const char* to, const char* tgb, int sol,
           const char* azv) {
    pvc::Row& t = tag_.Next();
    const std::string midnight = At(day, "00:00:00");
    Txt(t[0], pnr_);
    Txt(t[1], midnight);
    Txt(t[2], midnight);
    Txt(t[3], At(day, from));
    Txt(t[4], midnight);
    Txt(t[5], At(day, to));
    if (tgb != nullptr) {
      Txt(t[6], tgb);
      Int(t[7], sol);
    } else {
      Null(t[6]);
      Null(t[7]);
    }
    pvc::Row& g = tgb_.Next();
    Txt(g[0], pnr_);
    Txt(g[1], midnight);
    Int(g[2], 1);
    Int(g[3], sol);
    pvc::Row& z = ztg_.Next();
    Txt(z[0], pnr_);
    Txt(z[1], midnight);
    Txt(z[2], azv);
    Int(z[3], 0);
  }

  void Booking(int64_t day, const std::string& at, int fkt, const char* fcd) {
    pvc::Row& b = bch_.Next();
    Txt(b[0], pnr_);
    Txt(b[1], At(day, "00:00:00"));
    Txt(b[2], at);
    Int(b[3], fkt);
    if (fcd != nullptr)
      Txt(b[4], fcd);
    else
      Null(b[4]);
    Txt(b[5], "Terminal");
    Txt(b[6], at);
  }

  // A working day: come and go inside the frame, now and then an hour message.
  void WorkDay(int64_t day, int sol, const char* azv, Rng& rng, bool end_with_hour_message) {
    Day(day, "06:00:00", "20:00:00", nullptr, sol, azv);
    const int come = 7 * 60 + rng.Below(120);
    Booking(day, AtMinute(day, come), 21, nullptr);
    if (end_with_hour_message || rng.Chance(0.01)) {  // went home sick: the day's last booking
      Booking(day, AtMinute(day, 11 * 60 + rng.Below(180)), 24, "KRH");
      return;
    }
    if (rng.Chance(0.02)) {  // a doctor's visit during the day
      Booking(day, AtMinute(day, 10 * 60 + rng.Below(60)), 23, "ARZ");
      Booking(day, AtMinute(day, 11 * 60 + 30 + rng.Below(60)), 21, nullptr);
    }
    Booking(day, AtMinute(day, 15 * 60 + 30 + rng.Below(150)), 22, nullptr);
  }

  // A day of an absence booked as a whole-day message.
  void AbsentDay(int64_t day, const char* code, int sol, const char* azv) {
    Day(day, "06:00:00", "20:00:00", code, sol, azv);
    Booking(day, At(day, "00:00:00"), 1, code);
  }

  void Person(int64_t p) {
    Rng rng{static_cast<uint64_t>(o_.seed) * 0x9E3779B97F4A7C15ULL ^
            (static_cast<uint64_t>(p) + 1) * 0xD1B54A32D192ED03ULL};
    char buf[24];
    std::snprintf(buf, sizeof buf, "%08lld", static_cast<long long>(p + 1));
    pnr_ = buf;
    const int model = rng.Below(100) < 60 ? 0 : (rng.Below(100) < 60 ? 1 : 2);
    const AzvDef& azv = kAzv[model];

    // How the history ends: persons with a deep reference day have had no booking since an
    // illness `back` days before the accounting day; the others end in an ordinary way.
    int back = 0;
    if (o_.deep_days > 0) {
      back = o_.deep_days;
    } else if (rng.Chance(o_.deep_share)) {
      const int lo = o_.days < 200 ? o_.days : 200;
      const int hi = o_.days < 800 ? o_.days : 800;
      back = lo + rng.Below(hi - lo + 1);
    }
    const int ending = rng.Below(100);  // < 15 ill, < 18 went home sick, < 20 at a cure
    const int64_t ref_day = yesterday_ - back;

    // Absence in progress: code of the first day, code of the following days, days left.
    const char* first_code = nullptr;
    const char* next_code = nullptr;
    int left = 0;
    for (int64_t day = first_; day < yesterday_; ++day) {
      const bool weekend = IsWeekend(day);
      const int sol = weekend ? 0 : azv.sol;
      if (back > 0 && day > ref_day) {  // long absence without bookings
        Day(day, "06:00:00", "20:00:00", nullptr, 0, azv.num);
        continue;
      }
      if (back > 0 && day == ref_day) {  // the reference day of a deep search
        AbsentDay(day, "KRA", sol, azv.num);
        continue;
      }
      if (back == 0 && day >= yesterday_ - 3) {  // the ordinary ending
        if (ending < 15 && day >= yesterday_ - 1 - ending % 3) {
          AbsentDay(day, day == yesterday_ - 1 - ending % 3 ? "KRA" : "KRF", sol, azv.num);
          continue;
        }
        if (ending >= 15 && ending < 18 && day == yesterday_ - 1) {
          WorkDay(day, sol, azv.num, rng, true);
          continue;
        }
        if (ending >= 18 && ending < 20 && day == yesterday_ - 1) {
          AbsentDay(day, ending == 18 ? "KUR" : "KUF", sol, azv.num);
          continue;
        }
        left = 0;
      }
      if (left == 0 && !weekend) {
        const int r = rng.Below(1000);
        if (r < 15)
          first_code = "KRA", next_code = "KRF", left = 1 + rng.Below(6);
        else if (r < 25)
          first_code = "URL", next_code = "URL", left = 3 + rng.Below(8);
        else if (r < 30)
          first_code = "SCH", next_code = "SCH", left = 1 + rng.Below(3);
        else if (r < 33)
          first_code = "DGR", next_code = "DGR", left = 1 + rng.Below(3);
        else if (r < 35)
          first_code = "KUR", next_code = "KUF", left = 5 + rng.Below(10);
        if (left > 0) {
          AbsentDay(day, first_code, sol, azv.num);
          --left;
          continue;
        }
      } else if (left > 0) {
        AbsentDay(day, next_code, sol, azv.num);
        --left;
        continue;
      }
      if (weekend) {
        Day(day, "06:00:00", "20:00:00", nullptr, 0, azv.num);
      } else {
        WorkDay(day, sol, azv.num, rng, false);
      }
    }
    // The accounting day: the placeholder, sometimes with a competing day message on it.
    const int sol = IsWeekend(yesterday_) ? 0 : azv.sol;
    Day(yesterday_, "12:00:00", "12:00:00", nullptr, sol, azv.num);
    const int competing = rng.Below(100);
    if (competing < 3)
      Booking(yesterday_, At(yesterday_, "00:00:00"), 1, "SCH");
    else if (competing < 5)
      Booking(yesterday_, At(yesterday_, "00:00:00"), 1, "SUR");
  }

  const Options& o_;
  int64_t yesterday_ = 0, first_ = 0;
  std::vector<std::string> day_text_;
  std::string pnr_;
  Batch tag_, tgb_, bch_, ztg_, fcd_, azv_;
};

int Gen(Options& o) {
  CtlTarget& t = o.target;
  if (const int rc = Ctl_ResolveTarget("gen", t, CtlOperands::kNetAndSchema)) return rc;
  o.today = LocalToday();
  if (!o.today_text.empty() && !ParseCivilDate(o.today_text, o.today))
    return Ctl_Fail("gen: --today takes a date YYYY-MM-DD that exists, not " + o.today_text);
  if (o.deep_days > o.days) return Ctl_Fail("gen: --deep-days must not exceed --days");
  std::string why;
  int rc = pvc::CreateSchema(t.login, t.pass, t.net, t.schema, why);
  if (rc != pvc::kOk && rc != pvc::kSchemaExists)
    return Ctl_Fail("gen: RC:" + std::to_string(rc) + " " + why);
  std::unique_ptr<pvc::Session> session;
  rc = Ctl_OpenSchema(t, session, why);
  if (rc != pvc::kOk) return Ctl_Fail("gen: RC:" + std::to_string(rc) + " " + why);
  const auto t0 = std::chrono::steady_clock::now();
  Generator g(*session, o);
  rc = g.Run();
  if (rc != pvc::kOk)
    return Ctl_Fail("gen: loading failed, RC:" + std::to_string(rc) + " " +
                    session->LastError().message);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("gen: %lld persons x %d days into %s in %.1f s:", static_cast<long long>(o.persons),
              o.days, t.schema.c_str(), s);
  for (Batch* b : g.All())
    std::printf(" %s %llu", b->table(), static_cast<unsigned long long>(b->total()));
  std::printf("\n");
  return 0;
}

const CtlCommand kGen(
    "gen", "Fill a schema with a reproducible synthetic population", [](CtlArgs& args) {
      auto o = std::make_shared<Options>();
      Ctl_AddTarget(args, o->target, CtlOperands::kNetAndSchema);
      args.Number("--persons", o->persons, 1, 99999999, "Persons (1 to 99999999)", true)
          .Number("--days", o->days, 1, 36500,
                  "Days of history before the accounting day (1 to 36500)", true)
          .Number("--seed", o->seed, 0, INT64_MAX, "Seed of the random streams (0 or more)", true)
          .Fraction("--deep-share", o->deep_share,
                    "Share of persons without bookings for 200 to 800 days before an illness "
                    "(default 0.02)")
          .Number("--deep-days", o->deep_days, 1, 36500,
                  "Every reference day exactly K days back (1 to --days)")
          .Text("--today", o->today_text,
                "Date of today, YYYY-MM-DD (the accounting day is the day before)")
          .Footer(
              "The same seed, sizes and accounting day give the same rows. Load into an empty "
              "schema; it is "
              "created when missing.");
      return [o] { return Gen(*o); };
    });

}  // namespace
