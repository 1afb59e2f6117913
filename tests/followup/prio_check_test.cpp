// Bch_PrioCheck over the scripted statement module: which competing booking decides, what is
// cancelled, and every log line of the cancellation paths.
#include <gtest/gtest.h>

#include "followup/Bch_PrioCheck.h"
#include "tests/followup/logic_fixture.h"

namespace {

struct Competitor {
  const char* fcd;  // empty: a booking without a code
  int32_t pri;      // priority of its type; -100: the type cannot be read
  int32_t fkt;
};

struct PrioCase {
  const char* name;
  std::vector<Competitor> competitors;  // in delivery order
  int32_t pf, gpu, sol, tgbsol;
  int result;
  std::vector<std::string> updates;  // expected Bch_UpdFkt calls
  std::string log;
};

class PrioCheckTest : public LogicTest, public ::testing::WithParamInterface<PrioCase> {};

TEST_P(PrioCheckTest, FirstDecidingBookingSettles) {
  const PrioCase& c = GetParam();
  const TagSatz tag = MakeTag("4711", "20240301", c.tgbsol);
  int n = 0;
  for (const auto& comp : c.competitors) {
    const std::string uhr = "0" + std::to_string(8 + n++) + "0000";
    Fake().bch_rows["BchAbrTag 4711 20240301"].push_back(
        MakeBch("4711", "20240301", uhr.c_str(), comp.fkt, comp.fcd));
    if (comp.pri != -100 && comp.fcd[0] != '\0') AddType(MakeFcd(comp.fcd, 1, comp.pri));
  }
  const FcdSatz follow = MakeFcd("KRF", 1, c.pf, c.gpu, "", 1, c.sol);

  EXPECT_EQ(Bch_PrioCheck(tag, follow), c.result);
  EXPECT_EQ(Fake().CallsOf("Bch_UpdFkt"), c.updates);
  EXPECT_EQ(Count(Fake().calls, "BchAbrTag_Open 4711 20240301"), 1);
  EXPECT_EQ(Count(Fake().calls, "BchAbrTag_Close"), 1);
  EXPECT_EQ(RunLog(), c.log);
}

const char* kBlocked =
    "Info: (Fcd) in BchSatz hat höhere Priorität Pnr:4711 Tag:20240301 Fcd:URL\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, PrioCheckTest,
    ::testing::Values(
        PrioCase{"NoCompetitor", {}, 3, 0, 0, 480, 1, {}, ""},
        PrioCase{
            "LowerRankCancelled", {{"URL", 5, 2}}, 3, 0, 0, 480, 1, {"Bch_UpdFkt URL 2->45"}, ""},
        PrioCase{"HigherRankBlocks", {{"URL", 3, 1}}, 5, 0, 0, 480, 0, {}, kBlocked},
        PrioCase{"EqualGpu0Blocks", {{"URL", 4, 1}}, 4, 0, 0, 480, 0, {}, kBlocked},
        PrioCase{
            "EqualGpu1Cancels", {{"URL", 4, 3}}, 4, 1, 0, 480, 1, {"Bch_UpdFkt URL 3->45"}, ""},
        PrioCase{"EqualGpu2PassesOverToNext",
                 {{"URL", 4, 1}, {"KUR", 9, 2}},
                 4,
                 2,
                 0,
                 480,
                 1,
                 {"Bch_UpdFkt KUR 2->45"},
                 ""},
        PrioCase{"EqualGpu2PassesOverAll", {{"URL", 4, 1}, {"KUR", 4, 1}}, 4, 2, 0, 480, 1, {}, ""},
        PrioCase{"FirstOfTwoLowerOnlyCancelled",
                 {{"URL", 7, 1}, {"KUR", 8, 2}},
                 3,
                 0,
                 0,
                 480,
                 1,
                 {"Bch_UpdFkt URL 1->45"},
                 ""},
        PrioCase{"LowerBeforeHigherCancelsAndEnds",
                 {{"URL", 7, 1}, {"KUR", 1, 2}},
                 3,
                 0,
                 0,
                 480,
                 1,
                 {"Bch_UpdFkt URL 1->45"},
                 ""},
        PrioCase{"EmptyCodePassedOver", {{"", 0, 1}}, 3, 0, 0, 480, 1, {}, ""},
        PrioCase{"UnreadableTypeLoggedAndPassedOver",
                 {{"XXX", -100, 1}, {"URL", 3, 1}},
                 5,
                 0,
                 0,
                 480,
                 0,
                 {},
                 std::string("Fehler(Read): Meldungsartsatz(Fcd) zur BchMld lesen RC:1403 Pnr:4711 "
                             "Fcd:XXX\n") +
                     kBlocked},
        PrioCase{"TargetTimeCheckCancelsNothing", {{"URL", 5, 1}}, 3, 0, 1, 0, 1, {}, ""},
        PrioCase{"TargetTimeCheckNegativeTgbSol", {{"URL", 5, 1}}, 3, 0, 1, -5, 1, {}, ""},
        PrioCase{"TargetTimeCheckStillBlocked", {{"URL", 1, 1}}, 3, 0, 1, 0, 0, {}, kBlocked},
        PrioCase{
            "TargetTimeMetCancels", {{"URL", 5, 1}}, 3, 0, 1, 1, 1, {"Bch_UpdFkt URL 1->45"}, ""},
        PrioCase{
            "OnlySol1IsTheCheck", {{"URL", 5, 1}}, 3, 0, 2, 0, 1, {"Bch_UpdFkt URL 1->45"}, ""},
        PrioCase{"BothWithoutPriority", {{"URL", 0, 1}}, 0, 0, 0, 480, 0, {}, kBlocked}),
    [](const ::testing::TestParamInfo<PrioCase>& p) { return std::string(p.param.name); });

// The cancellation paths: codes of the first update, the delete and the second update.
struct StornoCase {
  const char* name;
  std::vector<int> upd_codes;
  std::vector<int> del_codes;
  std::vector<std::string> writes;
  std::string log;
};

class StornoTest : public LogicTest, public ::testing::WithParamInterface<StornoCase> {};

TEST_P(StornoTest, CancellationPath) {
  const StornoCase& c = GetParam();
  Fake().bch_rows["BchAbrTag 4711 20240301"].push_back(
      MakeBch("4711", "20240301", "080000", 2, "URL"));
  AddType(MakeFcd("URL", 1, 5));
  for (int rc : c.upd_codes) Fake().codes["Bch_UpdFkt"].push_back(rc);
  for (int rc : c.del_codes) Fake().codes["Bch_DelFkt"].push_back(rc);

  EXPECT_EQ(Bch_PrioCheck(MakeTag("4711", "20240301"), MakeFcd("KRF", 1, 3)), 1);
  std::vector<std::string> writes;
  for (const auto& call : Fake().calls) {
    if (call.rfind("Bch_", 0) == 0) writes.push_back(call);
  }
  EXPECT_EQ(writes, c.writes);
  EXPECT_EQ(Count(Fake().calls, "BchAbrTag_Close"), 1);
  EXPECT_EQ(RunLog(), c.log);
}

const char* kUpd = "Bch_UpdFkt URL 2->45";
const char* kDel = "Bch_DelFkt URL 45";

INSTANTIATE_TEST_SUITE_P(
    Paths, StornoTest,
    ::testing::Values(
        StornoCase{"FirstUpdateSucceeds", {0}, {}, {kUpd}, ""},
        StornoCase{"DeleteAndSecondUpdateSucceed",
                   {-1, 0},
                   {0},
                   {kUpd, kDel, kUpd},
                   "Info: BchSatz(Storno) gelöscht RC:0 Pnr:4711 Tag:20240301 Fcd:URL Fkt:45 \n"},
        StornoCase{
            "DeleteAndSecondUpdateFail",
            {-1, -54},
            {-54},
            {kUpd, kDel, kUpd},
            "Fehler(Del): Bchsatz(Storno) loeschen RC:-54 Pnr:4711 Tag:20240301 Fcd:URL Fkt:45 \n"
            "Fehler(Upd2): Akt. BchSatz(Storno) updaten RC:-54 Pnr:4711 Tag:20240301 Fcd:URL "
            "Fkt:2\n"
            "Fehler(Cur_Read): Buchungen(TagesMld AbrTag) lesen RC:-54 Pnr:4711 Tag:20240301\n"},
        StornoCase{
            "DeleteFindsNothingSecondUpdateRunsAnyway",
            {-1, -1},
            {1403},
            {kUpd, kDel, kUpd},
            "Fehler(Del): Bchsatz(Storno) loeschen RC:1403 Pnr:4711 Tag:20240301 Fcd:URL Fkt:45 \n"
            "Fehler(Upd2): Akt. BchSatz(Storno) updaten RC:-1 Pnr:4711 Tag:20240301 Fcd:URL "
            "Fkt:2\n"},
        StornoCase{
            "DeleteFailsSecondUpdateSucceeds",
            {-1, 0},
            {-3114},
            {kUpd, kDel, kUpd},
            "Fehler(Del): Bchsatz(Storno) loeschen RC:-3114 Pnr:4711 Tag:20240301 Fcd:URL Fkt:45 \n"
            "Fehler(Cur_Read): Buchungen(TagesMld AbrTag) lesen RC:-3114 Pnr:4711 Tag:20240301\n"},
        StornoCase{"FirstUpdateFailsOtherwise",
                   {-2291},
                   {},
                   {kUpd},
                   "Fehler(Upd1): Akt. BchSatz(Storno) updaten RC:-2291 Pnr:4711 Tag:20240301 "
                   "Fcd:URL Fkt:2\n"},
        StornoCase{"FirstUpdateMatchesNothing",
                   {1403},
                   {},
                   {kUpd},
                   "Fehler(Upd1): Akt. BchSatz(Storno) updaten RC:1403 Pnr:4711 Tag:20240301 "
                   "Fcd:URL Fkt:2\n"}),
    [](const ::testing::TestParamInfo<StornoCase>& p) { return std::string(p.param.name); });

// A read that fails with an error inside the check blocks the follow-up (a booking that could
// not be weighed might have blocked it); a competing type that does not exist is passed over.
TEST_F(LogicTest, PrioCheckFailedReadsBlock) {
  const struct {
    const char* name;
    const char* op;
    std::vector<int> codes;
    int result;
    std::string log;
  } cases[] = {
      {"open fails",
       "BchAbrTag_Open",
       {-942},
       0,
       "Fehler(Cur_open): Buchungen(TagesMld AbrTag) lesen! RC:-942 Pnr:4711 Tag:20240301\n"},
      {"fetch fails",
       "BchAbrTag_Fetch",
       {-54},
       0,
       "Fehler(Cur_Read): Buchungen(TagesMld AbrTag) lesen RC:-54 Pnr:4711 Tag:20240301\n"},
      {"over-long key",
       "BchAbrTag_Fetch",
       {-1406},
       0,
       "Fehler(Cur_Read): Buchungen(TagesMld AbrTag) lesen RC:-1406 Pnr:4711 Tag:20240301\n"},
      {"type read fails",
       "Fcd_Read",
       {-54},
       0,
       "Fehler(Read): Meldungsartsatz(Fcd) zur BchMld lesen RC:-54 Pnr:4711 Fcd:SUR\n"},
      {"type does not exist",
       "Fcd_Read",
       {1403},
       1,
       "Fehler(Read): Meldungsartsatz(Fcd) zur BchMld lesen RC:1403 Pnr:4711 Fcd:SUR\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeReset();
    std::remove(log_path_.c_str());
    Log_Open(log_path_.c_str());
    // The competing booking ranks higher: only a failure could let the follow-up past it, and
    // only 1403 on its type read may.
    Fake().bch_rows["BchAbrTag 4711 20240301"].push_back(
        MakeBch("4711", "20240301", "080000", 1, "SUR"));
    AddType(MakeFcd("SUR", 1, 1));
    Fake().codes[c.op] = std::deque<int>(c.codes.begin(), c.codes.end());
    EXPECT_EQ(Bch_PrioCheck(MakeTag("4711", "20240301"), MakeFcd("KRF", 1, 3)), c.result);
    EXPECT_EQ(Count(Fake().calls, "BchAbrTag_Close"), 1);
    EXPECT_EQ(Count(Fake().calls, "Bch_UpdFkt"), 0);
    EXPECT_EQ(RunLog(), c.log);
  }
}

TEST_F(LogicTest, PrioCheckLogsNothingWithLoggingOff) {
  RunFlags.verbose = 0;
  Fake().bch_rows["BchAbrTag 4711 20240301"].push_back(
      MakeBch("4711", "20240301", "080000", 1, "URL"));
  AddType(MakeFcd("URL", 1, 1));
  EXPECT_EQ(Bch_PrioCheck(MakeTag("4711", "20240301"), MakeFcd("KRF", 1, 3)), 0);
  EXPECT_EQ(RunLog(), "");
}

}  // namespace
