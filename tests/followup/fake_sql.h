// A scripted statement module for testing the day scan and the follow-up rules without a
// database. It replaces every operation of db/parveksql.h and Db_Commit, records each call in
// order, delivers the rows a test queues per cursor, and answers with the codes a test queues
// per operation (0 when none is queued). Cursors behave like the database's: a fetch on a
// cursor that is not open returns -1001, and the fake tracks which cursors are left open.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db/parveksql.h"
#include "db/records.h"

struct FakeFcd {
  FcdSatz fcd;      // as Fcd_Read delivers it
  int32_t sta = 0;  // FcdSta; Fcd_ReadFlg finds only types below 4
};

struct FakeSql {
  // Every call in order, e.g. "BchAbrTag_Open 4711 20240301", "Bch_UpdFkt 45", "Db_Commit".
  std::vector<std::string> calls;
  // Queued results per operation name ("TagYday_Open", "BchVortag_Fetch", "Bch_Insert", ...).
  // A fetch with a queued non-zero code returns it instead of a row.
  std::map<std::string, std::deque<int>> codes;
  // Rows a cursor delivers, keyed by the cursor's name and its open arguments, as in
  // "TagYday", "TagPrev 4711 20240301", "BchAbrTag 4711 20240301". Each open delivers a copy
  // of the rows under its key, as they stand at the open.
  std::map<std::string, std::deque<TagSatz>> tag_rows;
  std::map<std::string, std::deque<BchSatz>> bch_rows;
  std::map<std::string, std::deque<TagSatz>> tag_active;
  std::map<std::string, std::deque<BchSatz>> bch_active;
  // Message types by code.
  std::map<std::string, FakeFcd> types;
  // Working-time plan by "pnr day"; absent gives 1403.
  std::map<std::string, AzvSatz> azv;
  // Counts per TagTag: day messages and hour messages.
  std::map<std::string, int32_t> count_tag;
  std::map<std::string, int32_t> count_std;
  // What the writes received.
  std::vector<TagSatz> tag_updates;
  std::vector<BchSatz> inserts;
  std::set<std::string> open_cursors;
  // Set once a queued code was -3114 (what the statement module remembers as a lost connection).
  bool lost = false;
  // What Stmt_RefusedRow delivers after a queued -1406.
  RefusedRow refused;

  // Names of the calls whose name begins with `prefix`.
  std::vector<std::string> CallsOf(const std::string& prefix) const;
};

FakeSql& Fake();
void FakeReset();

TagSatz MakeTag(const char* pnr, const char* day, int32_t tgbsol = 480, const char* tgb = "");
BchSatz MakeBch(const char* pnr, const char* day, const char* uhr, int32_t fkt, const char* fcd);
FcdSatz MakeFcd(const char* num, int32_t typ, int32_t pri, int32_t gpu = 0, const char* flg = "",
                int32_t zwt = 0, int32_t sol = 0, int32_t fcdfcd = -9);
