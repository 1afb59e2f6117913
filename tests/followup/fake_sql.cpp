#include "tests/followup/fake_sql.h"

#include "db/SQLHlp.h"
#include "db/parveksql.h"

namespace {

constexpr int kNotOpen = -1001;

FakeSql g_fake;

int NextCode(const std::string& op) {
  auto it = g_fake.codes.find(op);
  if (it == g_fake.codes.end() || it->second.empty()) return 0;
  const int rc = it->second.front();
  it->second.pop_front();
  if (rc == kConnectionLost) g_fake.lost = true;
  return rc;
}

int Open(const std::string& cursor, const std::string& args) {
  g_fake.calls.push_back(cursor + "_Open" + args);
  const int rc = NextCode(cursor + "_Open");
  if (rc != 0) return rc;
  g_fake.open_cursors.insert(cursor);
  g_fake.tag_active[cursor] = g_fake.tag_rows[cursor + args];
  g_fake.bch_active[cursor] = g_fake.bch_rows[cursor + args];
  return 0;
}

int Close(const std::string& cursor) {
  g_fake.calls.push_back(cursor + "_Close");
  g_fake.open_cursors.erase(cursor);
  return 0;
}

template <typename Rec>
int Fetch(const std::string& cursor, std::map<std::string, std::deque<Rec>>& active, Rec& out) {
  g_fake.calls.push_back(cursor + "_Fetch");
  if (g_fake.open_cursors.count(cursor) == 0) return kNotOpen;
  const int rc = NextCode(cursor + "_Fetch");
  if (rc != 0) return rc;
  auto& queue = active[cursor];
  if (queue.empty()) return kNoMoreRows;
  out = queue.front();
  queue.pop_front();
  return 0;
}

std::string Args(const char* a, const char* b) { return std::string(" ") + a + " " + b; }

}  // namespace

FakeSql& Fake() { return g_fake; }
void FakeReset() { g_fake = FakeSql(); }

std::vector<std::string> FakeSql::CallsOf(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& c : calls) {
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  }
  return out;
}

TagSatz MakeTag(const char* pnr, const char* day, int32_t tgbsol, const char* tgb) {
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagPnr, pnr);
  Txt_Set(t.TagTag, day);
  Txt_Set(t.TagVon, day);
  Txt_Set(t.TagUhr, "120000");
  Txt_Set(t.TagBis, day);
  Txt_Set(t.TagEnd, "120000");
  t.TgbSol = tgbsol;
  Txt_Set(t.TagTgb, tgb);
  return t;
}

BchSatz MakeBch(const char* pnr, const char* day, const char* uhr, int32_t fkt, const char* fcd) {
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, pnr);
  Txt_Set(b.BchVon, day);
  Txt_Set(b.BchUhr, uhr);
  b.BchFkt = fkt;
  Txt_Set(b.BchFcd, fcd);
  Txt_Set(b.BchErf, "carried");
  return b;
}

FcdSatz MakeFcd(const char* num, int32_t typ, int32_t pri, int32_t gpu, const char* flg,
                int32_t zwt, int32_t sol, int32_t fcdfcd) {
  FcdSatz f;
  Rec_Clear(f);
  Txt_Set(f.FcdNum, num);
  f.FcdTyp = typ;
  f.FcdPri = pri;
  f.FcdGpu = gpu;
  Txt_Set(f.FcdFlg, flg);
  f.FcdZwt = zwt;
  f.FcdSol = sol;
  f.FcdFcd = fcdfcd;
  return f;
}

// ---- the replaced statement module ------------------------------------------------------------

int TagYday_Open() { return Open("TagYday", ""); }
int TagYday_OpenAt(const char* day) { return Open("TagYday", std::string(" ") + day); }
int TagYday_Fetch(TagSatz& tag) { return Fetch("TagYday", g_fake.tag_active, tag); }
int TagYday_Close() { return Close("TagYday"); }

int TagPrev_Open(const char* pnr, const char* day) { return Open("TagPrev", Args(pnr, day)); }
int TagPrev_Fetch(TagSatz& tag) { return Fetch("TagPrev", g_fake.tag_active, tag); }
int TagPrev_Close() { return Close("TagPrev"); }

int BchVortag_Open(const char* pnr, const char* day) { return Open("BchVortag", Args(pnr, day)); }
int BchVortag_Fetch(BchSatz& bch) { return Fetch("BchVortag", g_fake.bch_active, bch); }
int BchVortag_Close() { return Close("BchVortag"); }
int BchAbrTag_Open(const char* pnr, const char* day) { return Open("BchAbrTag", Args(pnr, day)); }
int BchAbrTag_Fetch(BchSatz& bch) { return Fetch("BchAbrTag", g_fake.bch_active, bch); }
int BchAbrTag_Close() { return Close("BchAbrTag"); }
int BchStdMld_Open(const char* pnr, const char* day) { return Open("BchStdMld", Args(pnr, day)); }
int BchStdMld_Fetch(BchSatz& bch) { return Fetch("BchStdMld", g_fake.bch_active, bch); }
int BchStdMld_Close() { return Close("BchStdMld"); }

int Fcd_ReadFlg(const char* fcdnum, char* flg) {
  g_fake.calls.push_back(std::string("Fcd_ReadFlg ") + fcdnum);
  const int rc = NextCode("Fcd_ReadFlg");
  if (rc != 0) return rc;
  auto it = g_fake.types.find(fcdnum);
  if (it == g_fake.types.end() || it->second.sta >= 4) return kNoMoreRows;
  Txt_Set(flg, 4, it->second.fcd.FcdFlg);
  return 0;
}

int Fcd_Read(FcdSatz& fcd) {
  g_fake.calls.push_back(std::string("Fcd_Read ") + fcd.FcdNum);
  const int rc = NextCode("Fcd_Read");
  if (rc != 0) return rc;
  auto it = g_fake.types.find(fcd.FcdNum);
  if (it == g_fake.types.end()) return kNoMoreRows;
  fcd = it->second.fcd;
  return 0;
}

int Azv_Read(const char* pnr, const char* day, AzvSatz& azv) {
  g_fake.calls.push_back("Azv_Read" + Args(pnr, day));
  const int rc = NextCode("Azv_Read");
  if (rc != 0) return rc;
  auto it = g_fake.azv.find(std::string(pnr) + " " + day);
  if (it == g_fake.azv.end()) return kNoMoreRows;
  azv = it->second;
  return 0;
}

int Bch_CountTagMld(const TagSatz& tag, int32_t& count) {
  g_fake.calls.push_back(std::string("Bch_CountTagMld ") + tag.TagTag);
  const int rc = NextCode("Bch_CountTagMld");
  if (rc != 0) return rc;
  count = g_fake.count_tag[tag.TagTag];
  return 0;
}

int Bch_CountStdMld(const TagSatz& tag, int32_t& count) {
  g_fake.calls.push_back(std::string("Bch_CountStdMld ") + tag.TagTag);
  const int rc = NextCode("Bch_CountStdMld");
  if (rc != 0) return rc;
  count = g_fake.count_std[tag.TagTag];
  return 0;
}

// Only announces reads: what the search decides must not depend on it.
void Vortag_ReadAhead(const TagSatz&, bool) {}

int Tag_Update(const TagSatz& tag) {
  g_fake.calls.push_back(std::string("Tag_Update ") + tag.TagPnr + " " + tag.TagTag);
  g_fake.tag_updates.push_back(tag);
  return NextCode("Tag_Update");
}

int Bch_UpdFkt(const BchSatz& bch, int32_t new_fkt) {
  g_fake.calls.push_back("Bch_UpdFkt " + std::string(bch.BchFcd) + " " +
                         std::to_string(bch.BchFkt) + "->" + std::to_string(new_fkt));
  return NextCode("Bch_UpdFkt");
}

int Bch_DelFkt(const BchSatz& bch, int32_t fkt) {
  g_fake.calls.push_back("Bch_DelFkt " + std::string(bch.BchFcd) + " " + std::to_string(fkt));
  return NextCode("Bch_DelFkt");
}

int Bch_Insert(const BchSatz& bch) {
  g_fake.calls.push_back("Bch_Insert " + std::string(bch.BchPnr) + " " + bch.BchVon + " " +
                         bch.BchUhr + " " + std::to_string(bch.BchFkt) + " " + bch.BchFcd);
  g_fake.inserts.push_back(bch);
  return NextCode("Bch_Insert");
}

int Db_Commit() {
  g_fake.calls.push_back("Db_Commit");
  return NextCode("Db_Commit") == 0 ? 1 : 0;
}

int Stmt_ConnectionLost() { return g_fake.lost ? 1 : 0; }
void Stmt_NoteCode(int rc) {
  if (rc == kConnectionLost) g_fake.lost = true;
}
const RefusedRow& Stmt_RefusedRow() { return g_fake.refused; }
