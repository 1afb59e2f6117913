// The recording of a session, on every backend: what it sees of cursors, selects and writes, the
// names it reads values by, and the session it offers before a write.
#include "client/recording.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/codes.h"
#include "tests/support/schema_test.h"
#include "tests/support/testdb.h"
#include "run/ground/CivilDate.h"

namespace {

using pvc::Bind;
using pvc::Op;

TEST(StatementNames, NameTheValuesAtTheirPositions) {
  EXPECT_EQ(pvc::Op_OutIndex(Op::TagYday, "TagPnr"), 0);
  EXPECT_EQ(pvc::Op_OutIndex(Op::TagYday, "TagHns"), 12);
  EXPECT_EQ(pvc::Op_OutIndex(Op::BchStdMld, "BchFcd"), 6);
  EXPECT_EQ(pvc::Op_InIndex(Op::BchUpdFkt, "BchFktNeu"), 0);
  EXPECT_EQ(pvc::Op_InIndex(Op::BchUpdFkt, "BchFkt"), 4);
  EXPECT_EQ(pvc::Op_InIndex(Op::TagUpdate, "TagTag"), 7);
  EXPECT_EQ(pvc::Op_InIndex(Op::TagUpdate, "TagTg"), -1);  // a prefix is no name
  EXPECT_EQ(pvc::Op_OutIndex(Op::TagUpdate, "TagTgb"), -1);
  const std::vector<Bind> short_in = {Bind::Int(45)};
  EXPECT_EQ(pvc::InNamed(Op::BchUpdFkt, short_in, "BchPnr"), nullptr);
  EXPECT_EQ(pvc::InNamed(Op::BchUpdFkt, short_in, "BchFktNeu")->num, 45);
}

struct Event {
  Op op;
  std::string what;  // "open", "row <BchFcd>", "end", "write", "select <first output>"
  int rc;
};

class Tape final : public pvc::Recorder {
 public:
  std::vector<Event> events;
  std::vector<std::string> codes_before;  // BchFcd of the booking each write is about to change

  int refuse = 0;  // returned by BeforeWrite: a write refused before it is sent

  int BeforeWrite(pvc::Session& s, Op op, const std::vector<Bind>& in) override {
    pvc::Row row;
    const int rc = s.SelectOne(Op::BchReadFcd,
                               {*pvc::InNamed(op, in, "BchPnr"), *pvc::InNamed(op, in, "BchVon"),
                                *pvc::InNamed(op, in, "BchUhr"), *pvc::InNamed(op, in, "BchFkt")},
                               row);
    codes_before.push_back(rc == pvc::kOk ? row[0].text : "RC:" + std::to_string(rc));
    return refuse;
  }
  void Saw(const pvc::Seen& seen) override {
    std::string what;
    if (pvc::Op_IsWrite(seen.op)) {
      what = "write";
    } else if (pvc::Op_Info(seen.op).kind == pvc::OpKind::Select) {
      what = seen.row != nullptr ? "select " + (*seen.row)[0].text : "select";
    } else if (seen.row != nullptr) {
      const pvc::Cell* fcd = pvc::OutNamed(seen.op, *seen.row, "BchFcd");
      what = "row " + (fcd != nullptr ? fcd->text : "?");
    } else {
      what = seen.rc == pvc::kOk ? "open" : "end";
    }
    events.push_back({seen.op, what, seen.rc});
  }
};

class Recording : public pvt::SchemaTest {};

TEST_P(Recording, SeesEveryStatementWithWhatItGave) {
  ASSERT_EQ(db_.Exec("insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd) values"
                     " ('P1','2024-03-01 00:00:00','2024-03-01 00:00:00',1,'KRA');"
                     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd) values"
                     " ('P1','2024-03-01 00:00:00','2024-03-01 00:00:00',45,'OLD')"),
            0)
      << db_.last_error();
  std::unique_ptr<pvc::Session> inner;
  ASSERT_EQ(db_.OpenOther(inner), 0);
  Tape tape;
  std::unique_ptr<pvc::Session> s = pvc::Recording(std::move(inner), tape);

  std::unique_ptr<pvc::Cursor> cur;
  ASSERT_EQ(s->Open(Op::BchTagMld, {Bind::Txt("P1"), Bind::Dat("20240301")}, cur), 0);
  pvc::Row row;
  while (cur->Fetch(row) == 0) {
  }
  const std::vector<Bind> key = {Bind::Int(45), Bind::Txt("P1"), Bind::Dat("20240301"),
                                 Bind::Txt("000000"), Bind::Int(1)};
  // Cancelling meets the cancelled booking at the same key; it is deleted, then cancelling works.
  EXPECT_EQ(s->WriteDurably(Op::BchUpdFkt, key, "Bch_UpdFkt_Sp"), pvc::kUniqueViolated);
  EXPECT_EQ(
      s->WriteDurably(Op::BchDelFkt,
                      {Bind::Txt("P1"), Bind::Dat("20240301"), Bind::Txt("000000"), Bind::Int(45)},
                      "Bch_DelFkt_Sp"),
      0);
  EXPECT_EQ(s->Write(Op::BchUpdFkt, key), 0);
  ASSERT_EQ(s->Commit(), 0);
  ASSERT_EQ(s->SelectOne(Op::Today, {}, row), 0);

  const std::string today = CivilText(LocalToday());
  const std::vector<std::pair<std::string, int>> expected = {
      {"open", 0},
      {"row KRA", 0},
      {"end", pvc::kNoData},
      {"write", pvc::kUniqueViolated},
      {"write", 0},
      {"write", 0},
      {"select " + today.substr(0, 4) + today.substr(5, 2) + today.substr(8, 2), 0}};
  ASSERT_EQ(tape.events.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(tape.events[i].what, expected[i].first) << i;
    EXPECT_EQ(tape.events[i].rc, expected[i].second) << i;
  }
  EXPECT_EQ(tape.events[3].op, Op::BchUpdFkt);
  EXPECT_EQ(tape.events[4].op, Op::BchDelFkt);
  // Each write's booking as it stood before the write, read on the session below the recording.
  EXPECT_EQ(tape.codes_before, (std::vector<std::string>{"KRA", "OLD", "KRA"}));
  EXPECT_EQ(db_.Lines("select BchFkt, BchFcd from Krv321Bch"),
            (std::vector<std::string>{"45|KRA"}));
  // A write the recorder refuses is not sent: its code comes back, and nothing changes.
  tape.refuse = pvc::kInternal;
  EXPECT_EQ(s->WriteDurably(Op::BchDelFkt,
                            {Bind::Txt("P1"), Bind::Dat("20240301"), Bind::Txt("000000"),
                             Bind::Int(45)},
                            "Bch_DelFkt_Sp"),
            pvc::kInternal);
  EXPECT_EQ(s->Write(Op::BchUpdFkt, {Bind::Int(2), Bind::Txt("P1"), Bind::Dat("20240301"),
                                     Bind::Txt("000000"), Bind::Int(45)}),
            pvc::kInternal);
  EXPECT_EQ(tape.events.back().rc, pvc::kInternal);
  EXPECT_EQ(db_.Lines("select BchFkt, BchFcd from Krv321Bch"),
            (std::vector<std::string>{"45|KRA"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, Recording, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
