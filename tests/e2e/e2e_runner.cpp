#include "tests/e2e/e2e_runner.h"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <ctime>

#include "tests/support/testdb.h"

namespace e2e {
namespace {

std::string Dashed(const std::string& d) {
  return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
}
int g_days_back = 0;
std::string DayK(int k) { return pvt::LocalDay(-1 - k - g_days_back); }

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
}

}  // namespace

void SetDaysBack(int days) { g_days_back = days; }

std::string AccountingDay(pvt::TempSchema& db) {
  const std::string latest = db.Value("select max(TagTag) from Krv327Tag");
  if (latest.size() >= 10 && latest[4] == '-' && latest[7] == '-') return latest.substr(0, 10);
  return Dashed(pvt::LocalDay(-1));
}

std::string Tok(const std::string& text, const std::string& schema) {
  std::string s = text;
  for (int k = 0; k <= 4; ++k) {
    ReplaceAll(s, "{Y" + std::to_string(k) + "}", DayK(k));
    ReplaceAll(s, "{D" + std::to_string(k) + "}", Dashed(DayK(k)));
  }
  const std::string y = DayK(0);
  ReplaceAll(s, "{P}", y.substr(6, 2) + "." + y.substr(4, 2) + "." + y.substr(0, 4));
  char padded[64];
  std::snprintf(padded, sizeof padded, "%-20s", schema.c_str());
  ReplaceAll(s, "{S20}", padded);
  return s;
}

std::string Fcd(const std::string& num, int typ, int zwt, int std_value, int sol,
                const std::string& pri, const std::string& gpu, const std::string& fcdfcd,
                const std::string& flg, int sta) {
  return "insert into Krv131Fcd (FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd, "
         "FcdFlg, FcdSta)"
         " values ('" +
         num + "', " + std::to_string(typ) + ", " + std::to_string(zwt) + ", " +
         std::to_string(std_value) + ", " + std::to_string(sol) + ", " + pri + ", " + gpu + ", " +
         fcdfcd + ", " + flg + ", " + std::to_string(sta) + ");\n";
}

std::string Day(const std::string& pnr, int k, const std::string& tgb, const std::string& from,
                const std::string& to, int sol) {
  const std::string d = DayK(k);
  return "insert into Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TagTgb, TagTgs) "
         "values ('" +
         pnr + "', " + pvt::Ts(d) + ", " + pvt::Ts(d) + ", " + pvt::Ts(d, from) + ", " +
         pvt::Ts(d) + ", " + pvt::Ts(d, to) + ", " + pvt::Q(tgb) + ", " +
         (tgb.empty() ? "NULL" : std::to_string(sol)) + ");\n" +
         "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) values ('" + pnr + "', " +
         pvt::Ts(d) + ", 1, " + std::to_string(sol) + ");\n";
}

std::string Placeholder(const std::string& pnr, int sol) {
  return Day(pnr, 0, "", "120000", "120000", sol);
}

std::string Bch(const std::string& pnr, int k, const std::string& hhmmss, int fkt,
                const std::string& fcd) {
  const std::string d = DayK(k);
  return "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf) values ('" + pnr +
         "', " + pvt::Ts(d) + ", " + pvt::Ts(d, hhmmss) + ", " + std::to_string(fkt) + ", " +
         pvt::Q(fcd) + ", 'fixture');\n";
}

std::string Azv(const std::string& num, int sol, int so2, int vhs, int hso, int hs2, int htv) {
  return "insert into Krv140Azv (AzvNum, AzvSol, AzvSo2, AzvVhs, AzvHso, AzvHs2, AzvHtv, AzvGvo, "
         "AzvGbi, AzvSta)"
         " values ('" +
         num + "', " + std::to_string(sol) + ", " + std::to_string(so2) + ", " +
         std::to_string(vhs) + ", " + std::to_string(hso) + ", " + std::to_string(hs2) + ", " +
         std::to_string(htv) + ", " + pvt::Ts("20000101") + ", NULL, 0);\n";
}

std::string Ztg(const std::string& pnr, const std::string& num) {
  return "insert into Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) values ('" + pnr + "', " +
         pvt::Ts(DayK(0)) + ", '" + num + "', 0);\n";
}

std::string BookingsOfDay(int k) {
  return "select BchPnr, BchUhr, BchFkt, BchFcd, BchErf from Krv321Bch where BchVon = " +
         pvt::Ts(DayK(k)) + " order by BchPnr, BchUhr, BchFkt";
}

std::string DayRecords(int k) {
  return "select TagPnr, TagTgb, TagTgs, TagHtv, TagHvs, TagHtn, TagHns from Krv327Tag where "
         "TagTag = " +
         pvt::Ts(DayK(k)) + " order by TagPnr";
}

std::map<std::string, std::vector<std::string>> DumpAll(pvt::TempSchema& db) {
  std::map<std::string, std::vector<std::string>> all;
  for (const char* t :
       {"Krv327Tag", "Krv320Tgb", "Krv321Bch", "Krv131Fcd", "Krv329Ztg", "Krv140Azv"}) {
    std::vector<std::string> rows = db.Lines(std::string("select * from ") + t);
    std::sort(rows.begin(), rows.end());
    all[t] = rows;
  }
  return all;
}

std::string DumpDiff(const std::map<std::string, std::vector<std::string>>& got,
                     const std::map<std::string, std::vector<std::string>>& want) {
  std::string out;
  for (const auto& [table, rows] : want) {
    const auto it = got.find(table);
    const std::vector<std::string> none;
    const std::vector<std::string>& have = it == got.end() ? none : it->second;
    std::vector<std::string> lost, gained;
    std::set_difference(rows.begin(), rows.end(), have.begin(), have.end(),
                        std::back_inserter(lost));
    std::set_difference(have.begin(), have.end(), rows.begin(), rows.end(),
                        std::back_inserter(gained));
    for (const auto& r : lost) out += table + " - " + r + "\n";
    for (const auto& r : gained) out += table + " + " + r + "\n";
  }
  return out;
}

}  // namespace e2e
