// The companion tool's section of the statement table: placeholders take the literals given.
#include <gtest/gtest.h>

#include <string>

#include "client/core/tool_statements.h"
#include "client/tool_queries.h"

namespace {

using pvc::ToolOp;

TEST(ToolStatements, PlaceholdersTakeTheLiteralsInOrder) {
  EXPECT_EQ(pvc::Tool_Sql(ToolOp::DemoTgb, {"'1001'", "'2026-12-09 00:00:00'", "480"}),
            "INSERT INTO Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) VALUES ('1001', "
            "'2026-12-09 00:00:00', 1, 480)");
  EXPECT_EQ(pvc::Tool_Sql(ToolOp::PgCreateSchema, {"\"s\""}), "CREATE SCHEMA \"s\"");
}

TEST(ToolStatements, LiteralsOfTheTextAndMissingValuesStayAsTheyAre) {
  // 'VZ40' is a literal of the text; ?2 has no value.
  EXPECT_EQ(
      pvc::Tool_Sql(ToolOp::DemoZtg, {"'1001'"}),
      "INSERT INTO Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) VALUES ('1001', ?2, 'VZ40', 0)");
  EXPECT_EQ(pvc::Tool_Sql(ToolOp::SqliteWal), pvc::Tool_Text(ToolOp::SqliteWal));
}

TEST(ToolStatements, ShowQueriesCarryNoQuoteFromTheirRange) {
  const std::string q = pvc::ShowDaysQuery("2026-12-01 00:00:00'; drop", "2026-12-02 00:00:00");
  EXPECT_NE(q.find("t.TagTag >= '2026-12-01 00:00:00 ' AND t.TagTag < '2026-12-02 00:00:00'"),
            std::string::npos)
      << q;
  EXPECT_EQ(q.find("drop"), std::string::npos);
}

}  // namespace
