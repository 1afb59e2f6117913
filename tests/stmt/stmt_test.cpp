// The statement and session modules over a scripted backend: write pattern, record handling,
// NULL and over-long values, cursor bookkeeping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/SQLHlp.h"
#include "db/parveksql.h"
#include "tests/stmt/fake_session.h"

using pvc::Op;

namespace {

class StmtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake() = FakeScript{};
    ASSERT_EQ(FakeLogon(), 0);
    Stmt_SessionStarted();
    Fake().calls.clear();
    Fake().binds.clear();
  }
};

pvc::Row TagRow(const std::string& pnr) {
  return {TextCell(pnr),        TextCell("20240301"), TextCell("20240301"), TextCell("120000"),
          TextCell("20240301"), TextCell("120000"),   IntCell(480),         TextCell("KRA"),
          IntCell(7),           NullCell(),           NullCell(),           TextCell("URL"),
          IntCell(-5)};
}

pvc::Row BchRow() {
  pvc::Row r = {TextCell("4711"), TextCell("20240229"), TextCell("140000"), IntCell(23),
                NullCell(),       NullCell(),           TextCell("DG"),     NullCell(),
                TextCell("abt"),  TextCell("kst"),      TextCell("ktr"),    TextCell("krt"),
                TextCell("azt"),  TextCell("vra"),      IntCell(1),         IntCell(2),
                TextCell("erf"),  TextCell("trm")};
  return r;
}

TagSatz SampleTag() {
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagPnr, "4711");
  Txt_Set(t.TagTag, "20240301");
  Txt_Set(t.TagVon, "20240301");
  Txt_Set(t.TagUhr, "060000");
  Txt_Set(t.TagBis, "20240302");
  Txt_Set(t.TagEnd, "055959");
  Txt_Set(t.TagHtv, "KRF");
  t.TagHvs = 240;
  return t;
}

TEST_F(StmtTest, ConnectRunsSchemaStatementOnlyAfterSuccessfulLogon) {
  Fake() = FakeScript{};
  EXPECT_EQ(Db_Connect("scott", "tiger", "fake:x", "PERSONAL"), 0);
  ASSERT_EQ(Fake().calls.size(), 2u);
  EXPECT_EQ(Fake().calls[1], "dynamic ALTER SESSION SET CURRENT_SCHEMA=PERSONAL");

  Fake() = FakeScript{};
  Fake().logon_code = -1017;
  EXPECT_EQ(Db_Connect("scott", "bad", "fake:x", "PERSONAL"), -1017);
  EXPECT_EQ(Fake().calls, std::vector<std::string>{"logon"});

  Fake() = FakeScript{};
  Fake().dynamic_code = -1435;
  EXPECT_EQ(Db_Connect("scott", "tiger", "fake:x", ""), -1435);

  // A schema name far longer than any fixed field reaches the statement whole.
  Fake() = FakeScript{};
  const std::string longname(300, 'S');
  EXPECT_EQ(Db_Connect("u", "p", "fake:x", longname.c_str()), 0);
  EXPECT_EQ(Fake().calls.back(), "dynamic ALTER SESSION SET CURRENT_SCHEMA=" + longname);
}

TEST_F(StmtTest, NetNameNoBackendServesFailsLogon) {
  EXPECT_EQ(Db_Connect("u", "p", "ORCL.WORLD", "PERSONAL"), -12154);
}

TEST_F(StmtTest, DbCommitTellsSuccessAsYesNo) {
  EXPECT_EQ(Db_Commit(), 1);
  Fake().commit_codes = {-3114};
  EXPECT_EQ(Db_Commit(), 0);
}

struct WriteCase {
  const char* name;
  int statement_code;
  int commit_code;
  int expected;
  std::vector<std::string> calls;
};

TEST_F(StmtTest, WritePatternCommitsOnSuccessAndRollsBackOtherwise) {
  const std::vector<WriteCase> cases = {
      {"success", 0, 0, 0, {"savepoint Tag_PKey_Upd_Sp", "write TagUpdate", "commit"}},
      {"no row",
       1403,
       0,
       1403,
       {"savepoint Tag_PKey_Upd_Sp", "write TagUpdate", "rollback to Tag_PKey_Upd_Sp"}},
      {"unique",
       -1,
       0,
       -1,
       {"savepoint Tag_PKey_Upd_Sp", "write TagUpdate", "rollback to Tag_PKey_Upd_Sp"}},
      // A commit that fails is not reported as done, and the change is undone.
      {"commit fails",
       0,
       -3114,
       -3114,
       {"savepoint Tag_PKey_Upd_Sp", "write TagUpdate", "commit", "rollback to Tag_PKey_Upd_Sp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().calls.clear();
    Fake().codes[Op::TagUpdate] = {c.statement_code};
    Fake().commit_codes = {c.commit_code};
    EXPECT_EQ(Tag_Update(SampleTag()), c.expected);
    EXPECT_EQ(Fake().calls, c.calls);
  }
}

TEST_F(StmtTest, EveryWriteUsesItsOwnSavepoint) {
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, "4711");
  Txt_Set(b.BchVon, "20240301");
  Txt_Set(b.BchUhr, "000000");
  b.BchFkt = 2;
  Txt_Set(b.BchFcd, "KRF");
  Bch_UpdFkt(b, 45);
  Bch_DelFkt(b, 45);
  Bch_Insert(b);
  Tag_Update(SampleTag());
  const std::vector<std::string> savepoints = {Fake().calls[0], Fake().calls[3], Fake().calls[6],
                                               Fake().calls[9]};
  EXPECT_EQ(savepoints,
            (std::vector<std::string>{"savepoint Bch_UpdFkt_Sp", "savepoint Bch_DelFkt_Sp",
                                      "savepoint Bch_PKey_Ins_Sp", "savepoint Tag_PKey_Upd_Sp"}));
}

TEST_F(StmtTest, WritesBindValuesInStatementOrder) {
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, "4711");
  Txt_Set(b.BchVon, "20240301");
  Txt_Set(b.BchUhr, "000000");
  b.BchFkt = 2;
  Txt_Set(b.BchFcd, "KRF");

  ASSERT_EQ(Bch_Insert(b), 0);
  const auto& ins = Fake().binds.back();
  ASSERT_EQ(ins.size(), 5u);
  EXPECT_EQ(ins[0].text, "4711");
  EXPECT_EQ(ins[1].kind, pvc::Bind::Kind::Date);
  EXPECT_EQ(ins[1].text, "20240301");
  EXPECT_EQ(ins[2].kind, pvc::Bind::Kind::DateTime);
  EXPECT_EQ(ins[2].text, "20240301000000");
  EXPECT_EQ(ins[3].num, 2);
  EXPECT_EQ(ins[4].text, "KRF");

  ASSERT_EQ(Bch_UpdFkt(b, 45), 0);
  const auto& upd = Fake().binds.back();
  ASSERT_EQ(upd.size(), 5u);
  EXPECT_EQ(upd[0].num, 45);  // new function first, present function last
  EXPECT_EQ(upd[3].text, "000000");
  EXPECT_EQ(upd[4].num, 2);

  ASSERT_EQ(Bch_DelFkt(b, 45), 0);
  EXPECT_EQ(Fake().binds.back()[3].num, 45);  // the argument, not the record's function

  ASSERT_EQ(Tag_Update(SampleTag()), 0);
  const auto& tu = Fake().binds.back();
  ASSERT_EQ(tu.size(), 8u);
  EXPECT_EQ(tu[0].text, "");  // empty code: sent as empty text, stored as NULL
  EXPECT_EQ(tu[2].text, "KRF");
  EXPECT_EQ(tu[3].num, 240);
  EXPECT_EQ(tu[6].text, "4711");
  EXPECT_EQ(tu[7].text, "20240301");
}

TEST_F(StmtTest, CountStdMldBindsFrameFromTheCallersRecord) {
  Fake().rows[Op::BchCountStdMld] = {{IntCell(3)}};
  int32_t n = -1;
  ASSERT_EQ(Bch_CountStdMld(SampleTag(), n), 0);
  EXPECT_EQ(n, 3);
  const auto& in = Fake().binds.back();
  ASSERT_EQ(in.size(), 3u);
  EXPECT_EQ(in[1].text, "20240301060000");
  EXPECT_EQ(in[2].text, "20240302055959");
}

TEST_F(StmtTest, FetchFillsRecordWithNullsAsEmptyAndZero) {
  Fake().rows[Op::TagYday] = {TagRow("4711")};
  ASSERT_EQ(TagYday_Open(), 0);
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagHtv, "OLD");
  t.TagHvs = 99;
  ASSERT_EQ(TagYday_Fetch(t), 0);
  EXPECT_STREQ(t.TagPnr, "4711");
  EXPECT_EQ(t.TgbSol, 480);
  EXPECT_STREQ(t.TagHtv, "");
  EXPECT_EQ(t.TagHvs, 0);
  EXPECT_EQ(t.TagHns, -5);
  // After the last row the record stays as the caller left it.
  TagSatz before = t;
  EXPECT_EQ(TagYday_Fetch(t), 1403);
  EXPECT_EQ(std::memcmp(&before, &t, sizeof t), 0);
  TagYday_Close();
}

// Texts that are no keys arrive cut; a key that does not fit its field is never cut into
// another key: its row is refused with -1406 (the record untouched) and the next row follows.
TEST_F(StmtTest, OverlongTextsArriveCutOverlongKeysRefuseTheRow) {
  pvc::Row row = BchRow();
  row[17] = TextCell(std::string(300, 'x'));  // BchTrm, capacity 256
  pvc::Row long_pnr = BchRow(), long_fcd = BchRow();
  long_pnr[0] = TextCell("123456789");  // BchPnr, capacity 9
  long_fcd[6] = TextCell("ABCD");       // BchFcd, capacity 4
  Fake().rows[Op::BchStdMld] = {long_pnr, long_fcd, row};
  ASSERT_EQ(BchStdMld_Open("4711", "20240229"), 0);
  BchSatz b;
  Rec_Clear(b);
  const BchSatz before = b;
  EXPECT_EQ(BchStdMld_Fetch(b), kKeyTooLong);
  EXPECT_EQ(Stmt_RefusedRow().pnr, "123456789");
  EXPECT_EQ(BchStdMld_Fetch(b), kKeyTooLong);
  EXPECT_EQ(std::memcmp(&before, &b, sizeof b), 0);
  ASSERT_EQ(BchStdMld_Fetch(b), 0);
  EXPECT_EQ(std::strlen(b.BchTrm), 255u);
  EXPECT_EQ(b.BchFkt, 23);
  EXPECT_EQ(b.BchZwt, 0);
  BchStdMld_Close();
}

TEST_F(StmtTest, ReadsThatFailLeaveTheRecordUntouched) {
  FcdSatz f;
  Rec_Clear(f);
  Txt_Set(f.FcdNum, "KRA");
  f.FcdPri = 77;
  const FcdSatz before = f;

  // No row.
  EXPECT_EQ(Fcd_Read(f), 1403);
  EXPECT_EQ(std::memcmp(&before, &f, sizeof f), 0);
  // More than one row.
  Fake().codes[Op::FcdRead] = {-1422};
  EXPECT_EQ(Fcd_Read(f), -1422);
  EXPECT_EQ(std::memcmp(&before, &f, sizeof f), 0);
  // A value that does not fit 32 bits fails the whole read.
  Fake().rows[Op::FcdRead] = {{TextCell("KRA"), IntCell(1), IntCell(1), IntCell(0), IntCell(0),
                               IntCell(int64_t{1} << 40), IntCell(0), IntCell(-9), NullCell()}};
  EXPECT_LT(Fcd_Read(f), 0);
  EXPECT_EQ(std::memcmp(&before, &f, sizeof f), 0);
  // A stored non-number in an integer column.
  Fake().rows[Op::FcdRead] = {{TextCell("KRA"), TextCell("x"), IntCell(1), IntCell(0), IntCell(0),
                               IntCell(1), IntCell(0), IntCell(-9), NullCell()}};
  EXPECT_LT(Fcd_Read(f), 0);
  EXPECT_EQ(std::memcmp(&before, &f, sizeof f), 0);

  Fake().rows[Op::FcdRead] = {{TextCell("KRA"), IntCell(1), IntCell(15), IntCell(0), IntCell(1),
                               IntCell(0), IntCell(0), IntCell(-9), NullCell()}};
  ASSERT_EQ(Fcd_Read(f), 0);
  EXPECT_EQ(f.FcdZwt, 15);
  EXPECT_EQ(f.FcdFcd, -9);
  EXPECT_STREQ(f.FcdFlg, "");
}

TEST_F(StmtTest, ReadFlgAndCountsWriteOnlyOnSuccess) {
  char flg[4] = "ZZZ";
  EXPECT_EQ(Fcd_ReadFlg("KRA", flg), 1403);
  EXPECT_STREQ(flg, "ZZZ");
  Fake().rows[Op::FcdReadFlg] = {{NullCell()}};
  EXPECT_EQ(Fcd_ReadFlg("KRA", flg), 0);
  EXPECT_STREQ(flg, "");

  int32_t n = 42;
  Fake().codes[Op::BchCountTagMld] = {-942};
  EXPECT_EQ(Bch_CountTagMld(SampleTag(), n), -942);
  EXPECT_EQ(n, 42);

  AzvSatz a;
  Rec_Clear(a);
  a.AzvSol = 5;
  EXPECT_EQ(Azv_Read("4711", "20240301", a), 1403);
  EXPECT_EQ(a.AzvSol, 5);
}

TEST_F(StmtTest, NamedCursorsKeepTheirOwnPositions) {
  Fake().rows[Op::BchTagMld] = {BchRow(), BchRow()};
  ASSERT_EQ(BchVortag_Open("4711", "20240229"), 0);
  Fake().rows[Op::BchTagMld] = {};  // the second cursor sees no rows
  ASSERT_EQ(BchAbrTag_Open("4711", "20240301"), 0);
  BchSatz b;
  Rec_Clear(b);
  EXPECT_EQ(BchAbrTag_Fetch(b), 1403);
  BchAbrTag_Close();
  EXPECT_EQ(BchVortag_Fetch(b), 0);
  EXPECT_EQ(BchVortag_Fetch(b), 0);
  EXPECT_EQ(BchVortag_Fetch(b), 1403);
  BchVortag_Close();
}

TEST_F(StmtTest, FetchOnACursorWhoseOpenFailedNeverSucceeds) {
  Fake().codes[Op::TagPrev] = {-942};
  EXPECT_EQ(TagPrev_Open("4711", "20240301"), -942);
  TagSatz t;
  Rec_Clear(t);
  EXPECT_EQ(TagPrev_Fetch(t), -1001);
  TagPrev_Close();
  EXPECT_EQ(TagPrev_Fetch(t), -1001);
}

TEST(Catalogue, TextsOfRecordKeepTheirExactLengths) {
  // Trailing and double blanks belong to the texts; a reformatting would change these.
  const std::vector<std::pair<Op, std::size_t>> lengths = {
      {Op::TagYday, 496},   {Op::TagPrev, 379},        {Op::BchTagMld, 362},
      {Op::BchStdMld, 713}, {Op::FcdReadFlg, 73},      {Op::FcdRead, 210},
      {Op::AzvRead, 352},   {Op::BchCountTagMld, 113}, {Op::BchCountStdMld, 327},
      {Op::TagUpdate, 163}, {Op::BchUpdFkt, 175},      {Op::BchDelFkt, 131},
      {Op::BchInsert, 150}};
  for (const auto& [op, len] : lengths) {
    EXPECT_EQ(std::strlen(pvc::Op_Info(op).text), len) << pvc::Op_Info(op).name;
  }
}

}  // namespace
