// The SQLite writer's commits are synced to disk after the commit, on a thread of their own,
// while the night goes on: a durable write returns before its sync, a write waits until at most
// the commit before it is not yet on disk, an explicit commit and the session's end wait for
// every sync, and a sync that fails fails what waits.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "client/core/wal_sync.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"

namespace {

using pvc::WalSyncer;

int Book(pvc::Session& s, int second) {
  char uhr[32];
  std::snprintf(uhr, sizeof uhr, "20240301080%03d", second);
  return s.WriteDurably(pvc::Op::BchInsert,
                        {pvc::Bind::Txt("P1"), pvc::Bind::Dat("20240301"), pvc::Bind::DatTime(uhr),
                         pvc::Bind::Int(2), pvc::Bind::Txt("KRF")},
                        "Bch_PKey_Ins_Sp");
}

// Natively and through the ODBC driver alike.
class WalSyncRoute : public ::testing::TestWithParam<const char*> {};

TEST_P(WalSyncRoute, AWriteLeavesAtMostOneCommitUnsyncedAndTheEndNone) {
  const pvt::Backend backend = pvt::BackendNamed(GetParam());
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(backend, why), 0) << why;
  std::unique_ptr<pvc::Session> s;
  ASSERT_EQ(db.OpenOther(s), 0);
  std::vector<pvc::Row> rows;
  ASSERT_EQ(pvc::ToolsOf(*s).Query("PRAGMA synchronous", rows), 0);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0][0].num, 1) << "the commit itself does not sync: the syncer does";

  const long before = WalSyncer::CommitsSynced();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Book(*s, i), 0);
    // All but the last two commits are on disk (this write waited for the one two before it).
    EXPECT_GE(WalSyncer::CommitsSynced() - before, i - 1);
  }
  // An explicit commit returns once it is on disk.
  ASSERT_EQ(s->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s->Write(pvc::Op::BchUpdFkt, {pvc::Bind::Int(3), pvc::Bind::Txt("P1"),
                                          pvc::Bind::Dat("20240301"), pvc::Bind::Txt("080000"),
                                          pvc::Bind::Int(2)}),
            0);
  ASSERT_EQ(s->Commit(), 0);
  EXPECT_EQ(WalSyncer::CommitsSynced() - before, 4);
  ASSERT_EQ(Book(*s, 9), 0);
  s.reset();  // the session's end waits for the last one
  EXPECT_EQ(WalSyncer::CommitsSynced() - before, 5);
  EXPECT_EQ(db.Value("select count(*) from Krv321Bch"), "4");
}

INSTANTIATE_TEST_SUITE_P(Routes, WalSyncRoute, ::testing::Values("sqlite", "odbc_sqlite"));

TEST(WalSync, ASyncThatFailsStaysFailedForEveryWait) {
  pvt::TempDir dir;
  WalSyncer missing(std::string(dir.path()) + "/no-such-log");
  EXPECT_EQ(missing.WaitDurable(), 0) << "nothing committed, nothing to wait for";
  missing.Committed();
  EXPECT_EQ(missing.WaitDurable(), ENOENT);
  missing.Committed();
  EXPECT_EQ(missing.WaitDurable(), ENOENT);
}

}  // namespace
