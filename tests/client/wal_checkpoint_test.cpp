// The SQLite writer's checkpoints during a night: while the yesterday cursor keeps its snapshot
// the log cannot be checkpointed and grows; the writer's tries back off instead of sorting the
// whole log after every commit. Without a reader the log is checkpointed and restarted as usual,
// and nothing committed is lost either way.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "tests/support/testdb.h"

namespace {

// Inserts and commits `n` bookings of one person, one commit each.
void CommitBookings(pvc::Session& s, int from, int n) {
  for (int i = from; i < from + n; ++i) {
    char uhr[32];
    std::snprintf(uhr, sizeof uhr, "20240301%02d%02d%02d", i / 3600 % 24, i / 60 % 60, i % 60);
    ASSERT_EQ(s.Write(pvc::Op::BchInsert,
                      {pvc::Bind::Txt("P" + std::to_string(i / 86400)), pvc::Bind::Dat("20240301"),
                       pvc::Bind::DatTime(uhr), pvc::Bind::Int(2), pvc::Bind::Txt("KRF")}),
              0);
    ASSERT_EQ(s.Commit(), 0);
  }
}

// Frames in the log now, as a passive checkpoint from another connection reports them.
long LogFrames(pvt::TempSchema& db) {
  const auto lines = db.Lines("pragma wal_checkpoint(passive)");
  if (lines.size() != 1) return -1;
  const auto first = lines[0].find('|');
  return std::atol(lines[0].c_str() + first + 1);
}

TEST(WalCheckpoint, WithoutAReaderTheLogIsCheckpointedAndRestarted) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(db.Connect(), 0);
  CommitBookings(*pvc::Current(), 0, 1300);
  const long frames = LogFrames(db);
  EXPECT_GE(frames, 0);
  EXPECT_LT(frames, 1000) << "the log was never restarted";
  EXPECT_EQ(db.Value("select count(*) from Krv321Bch"), "1300");
}

TEST(WalCheckpoint, APinnedSnapshotKeepsItsRowsAndLosesNoCommit) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  // One placeholder day record of yesterday: the yesterday cursor's one row.
  const std::string y = pvt::LocalDay(-1);
  ASSERT_EQ(db.Exec("insert into Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd) values"
                    " ('P0', " +
                    pvt::Ts(y) + ", " + pvt::Ts(y) + ", " + pvt::Ts(y, "120000") + ", " +
                    pvt::Ts(y) + ", " + pvt::Ts(y, "120000") +
                    "); insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('P0', " +
                    pvt::Ts(y) + ", 1)"),
            0);
  ASSERT_EQ(db.Connect(), 0);
  pvc::Session& s = *pvc::Current();
  std::unique_ptr<pvc::Cursor> pin;
  ASSERT_EQ(s.Open(pvc::Op::TagYday, {}, pin), 0);
  CommitBookings(s, 0, 1300);
  // The cursor still delivers what matched at its open.
  pvc::Row row;
  EXPECT_EQ(pin->Fetch(row), 0);
  EXPECT_EQ(pin->Fetch(row), pvc::kNoData);
  pin.reset();
  // With the snapshot released the writer's later tries succeed: the log restarts.
  CommitBookings(s, 1300, 1300);
  EXPECT_LT(LogFrames(db), 2600);
  EXPECT_EQ(db.Value("select count(*) from Krv321Bch"), "2600");
}

}  // namespace
