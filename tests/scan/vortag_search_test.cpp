// Vortag_Search over the scripted statement module: which earlier day becomes the reference
// day, the one pass-over for FcdFcd 24, and the cursor closed on every path.
#include <gtest/gtest.h>

#include "scan/Vortag_Search.h"
#include "tests/followup/logic_fixture.h"

namespace {

// One earlier day as the cursor delivers it, newest first.
struct Day {
  const char* tag;
  int32_t day_messages;   // count of bookings with function 1
  const char* tgb;        // the day's code
  int32_t hour_messages;  // count of hour messages in the frame
};

struct SearchCase {
  const char* name;
  std::vector<Day> days;
  int result;
  const char* found;  // TagTag of the found day, or nullptr
  const char* debug;  // heading printed when found
};

class VortagSearchTest : public LogicTest, public ::testing::WithParamInterface<SearchCase> {
 protected:
  void SetUp() override {
    LogicTest::SetUp();
    AddType(MakeFcd("KRA", 1, 5, 0, "KRF", 0, 0, -9));  // with follow-up
    AddType(MakeFcd("URL", 1, 5, 0, "", 0, 0, -9));     // without, FcdFcd NULL
    AddType(MakeFcd("DRS", 1, 5, 0, "", 0, 0, 24));     // without, FcdFcd 24
    AddType(MakeFcd("FRE", 1, 5, 0, "", 0, 0, 7));      // without, other FcdFcd
  }
};

TEST_P(VortagSearchTest, FindsReferenceDay) {
  const SearchCase& c = GetParam();
  for (const Day& d : c.days) {
    Fake().tag_rows["TagPrev 4711 20240301"].push_back(MakeTag("4711", d.tag, 480, d.tgb));
    Fake().count_tag[d.tag] = d.day_messages;
    Fake().count_std[d.tag] = d.hour_messages;
  }
  RunFlags.debug = 1;
  TagSatz vortag;
  Rec_Clear(vortag);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Vortag_Search("4711", "20240301", vortag), c.result);
  const std::string out = ::testing::internal::GetCapturedStdout();
  if (c.found != nullptr) {
    EXPECT_STREQ(vortag.TagTag, c.found);
    EXPECT_EQ(out.rfind(c.debug, 0), 0u) << out;
    EXPECT_NE(out.find(std::string("\nTagTag: ") + c.found + "\n"), std::string::npos) << out;
  } else {
    EXPECT_EQ(out, "");
  }
  EXPECT_EQ(Fake().calls.front(), "TagPrev_Open 4711 20240301");
  EXPECT_EQ(Fake().calls.back(), "TagPrev_Close");
  EXPECT_EQ(Count(Fake().calls, "TagPrev_Close"), 1);
  EXPECT_EQ(RunLog(), "");  // the search never writes the run log
}

const char* kTages = "\nTag mit Tagesmeldungen gefunden !\n";
const char* kStd = "\nTag mit Stundenmeldungen gefunden !\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, VortagSearchTest,
    ::testing::Values(
        SearchCase{"NoEarlierDay", {}, 0, nullptr, nullptr},
        SearchCase{"NewestDayWithFollowUp", {{"20240229", 1, "KRA", 0}}, 1, "20240229", kTages},
        SearchCase{"DayMessagesWeighedBeforeHourMessages",
                   {{"20240229", 2, "KRA", 3}},
                   1,
                   "20240229",
                   kTages},
        SearchCase{"EmptyDaySkippedHourMessagesOlder",
                   {{"20240229", 0, "", 0}, {"20240228", 0, "", 1}},
                   1,
                   "20240228",
                   kStd},
        SearchCase{"NoLimitHowFarBack",
                   {{"20240229", 0, "", 0},
                    {"20240228", 0, "", 0},
                    {"20240101", 0, "", 0},
                    {"20230301", 1, "KRA", 0}},
                   1,
                   "20230301",
                   kTages},
        SearchCase{"Fcd24PassedOverFoundByItsHourMessages",
                   {{"20240229", 1, "DRS", 2}},
                   1,
                   "20240229",
                   kStd},
        SearchCase{"Fcd24PassedOverOlderFollowUpFound",
                   {{"20240229", 1, "DRS", 0}, {"20240228", 1, "KRA", 0}},
                   1,
                   "20240228",
                   kTages},
        SearchCase{"Fcd24PassedOverOlderWithoutFollowUpStops",
                   {{"20240229", 1, "DRS", 0}, {"20240228", 1, "URL", 5}},
                   0,
                   nullptr,
                   nullptr},
        SearchCase{
            "SecondFcd24DayStops",
            {{"20240229", 1, "DRS", 0}, {"20240228", 1, "DRS", 5}, {"20240227", 1, "KRA", 0}},
            0,
            nullptr,
            nullptr},
        SearchCase{"Fcd24AfterSkippedEmptyDaysStillPassedOnce",
                   {{"20240229", 0, "", 0}, {"20240228", 1, "DRS", 0}, {"20240227", 0, "", 4}},
                   1,
                   "20240227",
                   kStd},
        SearchCase{"WithoutFollowUpNullFcdFcdStops",
                   {{"20240229", 1, "URL", 3}, {"20240228", 1, "KRA", 0}},
                   0,
                   nullptr,
                   nullptr},
        SearchCase{
            "WithoutFollowUpOtherFcdFcdStops", {{"20240229", 1, "FRE", 3}}, 0, nullptr, nullptr},
        SearchCase{"UnknownDayCodeStops",
                   {{"20240229", 1, "QQQ", 3}, {"20240228", 1, "KRA", 0}},
                   0,
                   nullptr,
                   nullptr},
        SearchCase{"EmptyDayCodeStops", {{"20240229", 1, "", 3}}, 0, nullptr, nullptr},
        SearchCase{"NothingAnywhere",
                   {{"20240229", 0, "", 0}, {"20240228", 0, "KRA", 0}},
                   0,
                   nullptr,
                   nullptr}),
    [](const ::testing::TestParamInfo<SearchCase>& p) { return std::string(p.param.name); });

// A read that fails with an error ends the search with nothing found and one entry: the day's
// answer is unknown, and walking on could carry an older day's messages onto the accounting day.
TEST_F(LogicTest, FailedReadsEndTheSearchWithNothingFound) {
  const struct {
    const char* op;
    int code;
    std::string log;
    int32_t newest_day_messages = 1;
  } cases[] = {
      {"Bch_CountTagMld", -54,
       "Fehler(Count): Tagesmeldungen zum Vortag zählen RC:-54 Pnr:4711 Tag:20240229\n"},
      {"Fcd_Read", -54,
       "Fehler(Read): Meldungsart(Fcd) zum Vortag lesen RC:-54 Pnr:4711 Tag:20240229\n"},
      {"Bch_CountStdMld", -942,
       "Fehler(Count): Stundenmeldungen zum Vortag zählen RC:-942 Pnr:4711 Tag:20240229\n", 0},
      {"TagPrev_Fetch", -1406,
       "Fehler(Cur_Read): Tagsätze(Vortag) lesen RC:-1406 Pnr:4711 Tag:20240301\n"},
      {"TagPrev_Open", -942,
       "Fehler(Cur_open): Tagsätze(Vortag) lesen! RC:-942 Pnr:4711 Tag:20240301\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op);
    FakeReset();
    std::remove(log_path_.c_str());
    Log_Open(log_path_.c_str());
    // The newest day: on leave (no follow-up, the search stops); the day before: ill.
    AddType(MakeFcd("URL", 1, 5, 0, ""));
    AddType(MakeFcd("KRA", 1, 5, 0, "KRF"));
    Fake().tag_rows["TagPrev 4711 20240301"] = {MakeTag("4711", "20240229", 480, "URL"),
                                                MakeTag("4711", "20240228", 480, "KRA")};
    Fake().count_tag["20240229"] = c.newest_day_messages;
    Fake().count_tag["20240228"] = 1;
    Fake().codes[c.op] = {c.code};
    TagSatz vortag;
    Rec_Clear(vortag);
    EXPECT_EQ(Vortag_Search("4711", "20240301", vortag), 0);
    EXPECT_EQ(Count(Fake().calls, "TagPrev_Close"), 1);
    EXPECT_EQ(RunLog(), c.log);
  }
}

TEST_F(LogicTest, FetchErrorEndsSearchAndClosesCursor) {
  Fake().tag_rows["TagPrev 4711 20240301"] = {MakeTag("4711", "20240229"),
                                              MakeTag("4711", "20240228")};
  Fake().count_std["20240228"] = 1;
  Fake().codes["TagPrev_Fetch"] = {0, -3114};
  TagSatz vortag;
  Rec_Clear(vortag);
  EXPECT_EQ(Vortag_Search("4711", "20240301", vortag), 0);
  EXPECT_EQ(Count(Fake().calls, "TagPrev_Close"), 1);
}

TEST_F(LogicTest, FailedOpenGivesNothingFound) {
  Fake().codes["TagPrev_Open"] = {-942};
  Fake().tag_rows["TagPrev 4711 20240301"] = {MakeTag("4711", "20240229")};
  Fake().count_std["20240229"] = 1;
  TagSatz vortag;
  Rec_Clear(vortag);
  EXPECT_EQ(Vortag_Search("4711", "20240301", vortag), 0);
  EXPECT_STREQ(vortag.TagTag, "");
  EXPECT_EQ(Count(Fake().calls, "TagPrev_Close"), 1);
}

}  // namespace
