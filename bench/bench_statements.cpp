// Micro-benchmark of the job's statements on the embedded SQLite backend (not a test).
//
//   bench_statements [--persons N] [--dir DIR]
//   bench_statements --persons N --time-only DIR   (times again on a schema filled before)
//
// Fills a fresh schema with N persons (default 10,000) and two years of history each (day
// records, day-evaluation rows, working-time assignments, bookings) in one transaction with
// prepared inserts, times every statement of the statement module (microseconds per call),
// then adds two more years of history before the first and times them again: the figures
// should not grow with the history.
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "client/client.h"
#include "db/SQLHlp.h"
#include "db/parveksql.h"
#include "run/ground/CivilDate.h"
#include "run/ground/DatabaseAddress.h"

namespace {

std::string Stored(int64_t day, const char* hms) {  // 'YYYY-MM-DD HH:MM:SS'
  const CivilDate c = CivilFromDays(day);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %s", c.y, c.m, c.d, hms);
  return buf;
}
std::string Ymd(int64_t day) {
  const CivilDate c = CivilFromDays(day);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", c.y, c.m, c.d);
  return buf;
}
std::string Pnr(int p) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "P%07d", p);
  return buf;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
  std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
  std::exit(1);
}

struct Insert {
  sqlite3_stmt* st = nullptr;
  Insert(sqlite3* db, const char* sql) {
    Check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), db, sql);
  }
  ~Insert() { sqlite3_finalize(st); }
  Insert& T(int i, const std::string& v) {
    sqlite3_bind_text(st, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Insert& I(int i, int64_t v) {
    sqlite3_bind_int64(st, i, v);
    return *this;
  }
  void Run(sqlite3* db) {
    Check(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
  }
};

// Fills days [first, last] of persons 0..persons-1. Yesterday's day record of every tenth
// person is a placeholder (frame 12:00:00 to 12:00:00).
void Fill(const std::string& path, int persons, int64_t first, int64_t last, int64_t yesterday) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Check(sqlite3_exec(db,
                     "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                     " PRAGMA cache_size=-4000000; BEGIN",
                     nullptr, nullptr, nullptr),
        db, "begin");
  {
    Insert tag(db,
               "insert into Krv327Tag (TagPnr,TagTag,TagVon,TagUhr,TagBis,TagEnd,TagTgb,TagTgs)"
               " values (?1,?2,?2,?3,?2,?4,?5,?6)");
    Insert tgb(db, "insert into Krv320Tgb (TgbPnr,TgbDtm,TgbZtr,TgbSol) values (?1,?2,1,480)");
    Insert ztg(db, "insert into Krv329Ztg (ZtgPnr,ZtgVon,ZtgAzt,ZtgSta) values (?1,?2,?3,0)");
    Insert bch(db,
               "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd,BchErf)"
               " values (?1,?2,?3,?4,?5,'bench')");
    for (int p = 0; p < persons; ++p) {
      const std::string pnr = Pnr(p);
      for (int64_t day = first; day <= last; ++day) {
        const std::string d0 = Stored(day, "00:00:00");
        const bool placeholder = day == yesterday && p % 10 == 0;
        const bool ill = (day + p) % 23 == 0;  // a day message now and then
        tag.T(1, pnr)
            .T(2, d0)
            .T(3, Stored(day, placeholder ? "12:00:00" : "08:00:00"))
            .T(4, Stored(day, placeholder ? "12:00:00" : "16:30:00"));
        if (ill)
          tag.T(5, "K").I(6, 480);
        else
          sqlite3_bind_null(tag.st, 5), sqlite3_bind_null(tag.st, 6);
        tag.Run(db);
        tgb.T(1, pnr).T(2, d0).Run(db);
        ztg.T(1, pnr).T(2, d0).T(3, "A" + std::to_string(p % 7)).Run(db);
        if (placeholder) continue;
        if (ill) {
          bch.T(1, pnr).T(2, d0).T(3, d0).I(4, 1).T(5, "K").Run(db);
        } else {
          bch.T(1, pnr).T(2, d0).T(3, Stored(day, "08:00:00")).I(4, 21).T(5, "").Run(db);
          bch.T(1, pnr).T(2, d0).T(3, Stored(day, "16:30:00")).I(4, 24).T(5, "S").Run(db);
        }
      }
    }
  }
  Check(sqlite3_exec(db, "COMMIT; PRAGMA journal_mode=WAL; ANALYZE", nullptr, nullptr, nullptr), db,
        "commit");
  sqlite3_close(db);
}

void FillConstants(const std::string& path) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  std::string sql = "BEGIN;";
  for (int a = 0; a < 7; ++a)
    sql +=
        "insert into Krv140Azv (AzvNum,AzvSol,AzvSo2,AzvVhs,AzvHso,AzvHs2,AzvHtv,AzvGvo,"
        "AzvGbi,AzvSta) values ('A" +
        std::to_string(a) +
        "',480,240,100,200,300,400,"
        "'1990-01-01 00:00:00',NULL,0);";
  sql +=
      "insert into Krv131Fcd (FcdNum,FcdTyp,FcdZwt,FcdStd,FcdSol,FcdPri,FcdGpu,FcdFcd,FcdFlg,"
      "FcdSta) values ('K',1,1,0,0,5,0,NULL,'KF',0),('KF',1,1,0,0,5,0,NULL,NULL,0),"
      "('S',2,2,0,0,7,0,24,'SF',0),('SF',2,2,0,0,7,0,NULL,NULL,0);COMMIT;";
  Check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, "constants");
  sqlite3_close(db);
}

struct Rng {
  uint64_t s = 12345;
  int Below(int n) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((s >> 33) % static_cast<uint64_t>(n));
  }
};

struct Result {
  std::string name;
  double us;
  int calls;
};

std::vector<Result> TimeAll(int persons, int64_t first, int64_t yesterday) {
  std::vector<Result> out;
  Rng rng;
  auto time = [&](const char* name, int calls, const std::function<void()>& call) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) call();
    const auto t1 = std::chrono::steady_clock::now();
    out.push_back(
        {name, std::chrono::duration<double, std::micro>(t1 - t0).count() / calls, calls});
  };
  auto some_day = [&] {
    return Ymd(first + 1 + rng.Below(static_cast<int>(yesterday - first - 1)));
  };
  auto some_pnr = [&] { return Pnr(rng.Below(persons)); };
  auto expect = [](int rc, int a, int b, const char* what) {
    if (rc != a && rc != b) {
      std::fprintf(stderr, "%s: RC:%d\n", what, rc);
      std::exit(1);
    }
  };
  const std::string yday = Ymd(yesterday);
  int rows = 0;
  time("TagYday open+fetch all (per row)", 1, [&] {
    TagSatz t;
    expect(TagYday_Open(), 0, 0, "TagYday_Open");
    while (TagYday_Fetch(t) == 0) ++rows;
    TagYday_Close();
  });
  out.back().us /= rows > 0 ? rows : 1;
  out.back().calls = rows;
  time("TagPrev open+5 fetches+close", 2000, [&] {
    TagSatz t;
    expect(TagPrev_Open(some_pnr().c_str(), yday.c_str()), 0, 0, "TagPrev_Open");
    for (int i = 0; i < 5; ++i) expect(TagPrev_Fetch(t), 0, 1403, "TagPrev_Fetch");
    TagPrev_Close();
  });
  time("BchVortag open+fetch all+close", 2000, [&] {
    BchSatz b;
    expect(BchVortag_Open(some_pnr().c_str(), some_day().c_str()), 0, 0, "BchVortag_Open");
    while (BchVortag_Fetch(b) == 0) {
    }
    BchVortag_Close();
  });
  time("BchStdMld open+fetch all+close", 2000, [&] {
    BchSatz b;
    expect(BchStdMld_Open(some_pnr().c_str(), some_day().c_str()), 0, 0, "BchStdMld_Open");
    while (BchStdMld_Fetch(b) == 0) {
    }
    BchStdMld_Close();
  });
  time("Fcd_ReadFlg", 5000, [&] {
    char flg[4] = "";
    expect(Fcd_ReadFlg(rng.Below(2) ? "K" : "S", flg), 0, 0, "Fcd_ReadFlg");
  });
  time("Fcd_Read", 5000, [&] {
    FcdSatz f;
    Rec_Clear(f);
    Txt_Set(f.FcdNum, rng.Below(2) ? "K" : "S");
    expect(Fcd_Read(f), 0, 0, "Fcd_Read");
  });
  time("Azv_Read", 5000, [&] {
    AzvSatz a;
    expect(Azv_Read(some_pnr().c_str(), some_day().c_str(), a), 0, 0, "Azv_Read");
  });
  time("Bch_CountTagMld", 5000, [&] {
    TagSatz t;
    Rec_Clear(t);
    Txt_Set(t.TagPnr, some_pnr());
    Txt_Set(t.TagTag, some_day());
    int32_t n;
    expect(Bch_CountTagMld(t, n), 0, 0, "Bch_CountTagMld");
  });
  time("Bch_CountStdMld", 5000, [&] {
    TagSatz t;
    Rec_Clear(t);
    const std::string d = some_day();
    Txt_Set(t.TagPnr, some_pnr());
    Txt_Set(t.TagVon, d);
    Txt_Set(t.TagUhr, "080000");
    Txt_Set(t.TagBis, d);
    Txt_Set(t.TagEnd, "163000");
    int32_t n;
    expect(Bch_CountStdMld(t, n), 0, 0, "Bch_CountStdMld");
  });
  // Writes commit each change durably: their figures are dominated by the disk's sync.
  time("Tag_Update (committed)", 300, [&] {
    TagSatz t;
    Rec_Clear(t);
    Txt_Set(t.TagPnr, some_pnr());
    Txt_Set(t.TagTag, some_day());
    Txt_Set(t.TagHtv, "S");
    t.TagHvs = 60;
    expect(Tag_Update(t), 0, 0, "Tag_Update");
  });
  static unsigned serial = static_cast<unsigned>(std::time(nullptr) % 86400);  // new keys per run
  time("Bch_Insert (committed)", 300, [&] {
    BchSatz b;
    Rec_Clear(b);
    Txt_Set(b.BchPnr, some_pnr());
    Txt_Set(b.BchVon, yday);
    char uhr[16];
    ++serial;
    std::snprintf(uhr, sizeof uhr, "%02u%02u%02u", (serial / 3600) % 24, (serial / 60) % 60,
                  serial % 60);
    Txt_Set(b.BchUhr, uhr);
    b.BchFkt = 2;
    Txt_Set(b.BchFcd, "KF");
    expect(Bch_Insert(b), 0, 0, "Bch_Insert");
  });
  time("Bch_UpdFkt (committed)", 300, [&] {
    BchSatz b;
    Rec_Clear(b);
    Txt_Set(b.BchPnr, some_pnr());
    Txt_Set(b.BchVon, some_day());
    Txt_Set(b.BchUhr, "080000");
    b.BchFkt = 21;
    expect(Bch_UpdFkt(b, 25), 0, 1403, "Bch_UpdFkt");
  });
  time("Bch_DelFkt (no match, rolled back)", 1000, [&] {
    BchSatz b;
    Rec_Clear(b);
    Txt_Set(b.BchPnr, some_pnr());
    Txt_Set(b.BchVon, some_day());
    Txt_Set(b.BchUhr, "080000");
    expect(Bch_DelFkt(b, 45), 1403, 1403, "Bch_DelFkt");
  });
  return out;
}

// The best of three rounds, so that other work on the machine does not count.
std::vector<Result> Best(int persons, int64_t first, int64_t yesterday) {
  auto best = TimeAll(persons, first, yesterday);
  for (int round = 1; round < 3; ++round) {
    const auto next = TimeAll(persons, first, yesterday);
    for (size_t i = 0; i < best.size(); ++i)
      if (next[i].us < best[i].us) best[i].us = next[i].us;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  int persons = 10000;
  std::string dir, reuse;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--persons") == 0) persons = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    if (std::strcmp(argv[i], "--time-only") == 0) reuse = argv[i + 1];
  }
  if (!reuse.empty()) {
    // The oldest day of the schema bounds the days drawn at random.
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    int64_t first = 0;
    if (sqlite3_open_v2((reuse + "/BENCH.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(db, "select min(TagTag) from Krv327Tag", -1, &st, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0) != nullptr) {
      int y = 0, m = 0, d = 0;
      std::sscanf(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "%d-%d-%d", &y, &m,
                  &d);
      first = DaysFromCivil(y, m, d);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (first == 0) return 1;
    const int64_t yesterday = LocalToday() - 1;
    if (Db_Connect("", "", DatabaseAddress_Sqlite(reuse).c_str(), "BENCH") != 0) return 1;
    std::printf("%-38s %14s  (%lld days of history)\n", "statement", "us/call",
                static_cast<long long>(yesterday - first + 1));
    for (const auto& r : Best(persons, first, yesterday))
      std::printf("%-38s %14.1f\n", r.name.c_str(), r.us);
    return 0;
  }
  if (dir.empty()) {
    char templ[] = "/tmp/parvek-bench-XXXXXX";
    if (::mkdtemp(templ) == nullptr) return 1;
    dir = templ;
  }
  const std::string net = DatabaseAddress_Sqlite(dir);
  std::string why;
  if (pvc::CreateSchema("", "", net, "BENCH", why) != 0) {
    std::fprintf(stderr, "schema: %s\n", why.c_str());
    return 1;
  }
  const std::string path = dir + "/BENCH.db";
  const int64_t yesterday = LocalToday() - 1;
  const int64_t years2 = 730;
  FillConstants(path);

  auto fill = [&](int64_t first, int64_t last) {
    const auto t0 = std::chrono::steady_clock::now();
    Fill(path, persons, first, last, yesterday);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("filled %d persons x %lld days in %.1f s (database %.0f MB)\n", persons,
                static_cast<long long>(last - first + 1), s,
                static_cast<double>(std::filesystem::file_size(path)) / 1e6);
    std::fflush(stdout);
  };
  fill(yesterday - years2 + 1, yesterday);
  if (Db_Connect("", "", net.c_str(), "BENCH") != 0) return 1;
  const auto a = Best(persons, yesterday - years2 + 1, yesterday);
  pvc::Logon("", "", net);  // a session without a schema: the filled file is left alone
  fill(yesterday - 2 * years2 + 1, yesterday - years2);
  if (Db_Connect("", "", net.c_str(), "BENCH") != 0) return 1;
  const auto b = Best(persons, yesterday - 2 * years2 + 1, yesterday);

  std::printf("\n%-38s %14s %14s %8s\n", "statement", "2 years us/call", "4 years us/call",
              "ratio");
  for (size_t i = 0; i < a.size(); ++i)
    std::printf("%-38s %14.1f %14.1f %8.2f\n", a[i].name.c_str(), a[i].us, b[i].us,
                b[i].us / a[i].us);
  std::printf("\n(TagYday: per delivered row, %d rows; the schema is in %s)\n", a[0].calls,
              dir.c_str());
  return 0;
}
