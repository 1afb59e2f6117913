// The one statement table against the texts that implement it: the text of record and every
// backend's own text must take the table's inputs and select the table's columns.
#include "client/core/statements.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "client/codes.h"
#include "client/core/bind.h"
#include "tests/support/schema_test.h"
#include "tests/support/testdb.h"

namespace {

using pvc::Op;

// The text of record without its INTO list (embedded-SQL outputs are no placeholders).
std::string WithoutInto(std::string text) {
  const size_t into = text.find(" into :");
  if (into == std::string::npos) return text;
  const size_t from = text.find(" from ", into);
  return text.erase(into, from - into);
}

// Placeholders ":bN" and ":bN:bM" (a value with its indicator) count once each.
size_t Placeholders(const std::string& text) {
  static const std::regex kPlaceholder(":b[0-9]+(:b[0-9]+)?");
  return static_cast<size_t>(std::distance(
      std::sregex_iterator(text.begin(), text.end(), kPlaceholder), std::sregex_iterator()));
}

// Items of the select list: commas outside parentheses between "select" and " from".
size_t SelectWidth(const std::string& text) {
  const size_t end = text.find(" from ");
  size_t n = 1;
  int depth = 0;
  for (size_t i = 6; i < end; ++i) {
    if (text[i] == '(') ++depth;
    if (text[i] == ')') --depth;
    if (text[i] == ',' && depth == 0) ++n;
  }
  return n;
}

TEST(StatementTable, TextsOfRecordTakeTheInputsAndSelectTheOutputsOfTheTable) {
  for (const pvc::OpInfo& info : pvc::kOps) {
    const std::string text = WithoutInto(info.text);
    EXPECT_EQ(Placeholders(text), pvc::Op_Width(info.in)) << info.name;
    EXPECT_EQ(std::string(info.in).find_first_not_of("TIDPN"), std::string::npos) << info.name;
    if (pvc::Op_IsQuery(info.op)) {
      EXPECT_EQ(text.rfind("select ", 0), 0u) << info.name;
      EXPECT_EQ(SelectWidth(text), pvc::Op_Width(info.out)) << info.name;
      EXPECT_EQ(std::string(info.out).find_first_not_of("TIDH"), std::string::npos) << info.name;
      EXPECT_EQ(info.savepoint, nullptr) << info.name;
    } else {
      EXPECT_STREQ(info.out, "") << info.name;
      ASSERT_NE(info.savepoint, nullptr) << info.name;
      EXPECT_TRUE(pvc::IsIdentifier(info.savepoint)) << info.name;
      // Only an update or a delete can match no row.
      const bool insert = text.rfind("insert ", 0) == 0;
      EXPECT_EQ(info.kind == pvc::OpKind::Insert, insert) << info.name;
    }
  }
}

class BackendTexts : public pvt::SchemaTest {};

TEST_P(BackendTexts, EveryTextTakesTheTablesInputsAndSelectsItsColumns) {
  std::unique_ptr<pvc::Session> s;
  ASSERT_EQ(db_.OpenOther(s), 0);
  for (const pvc::OpInfo& info : pvc::kOps) {
    int inputs = -1, columns = -1;
    ASSERT_EQ(pvc::ToolsOf(*s).Describe(info.op, inputs, columns), pvc::kOk)
        << info.name << ": " << s->LastError().message;
    EXPECT_EQ(inputs, static_cast<int>(pvc::Op_Width(info.in))) << info.name;
    EXPECT_EQ(columns, static_cast<int>(pvc::Op_Width(info.out))) << info.name;
  }
}

// What every backend returns for the client's own refusals, and that the detail always belongs
// to the last failure: an earlier message never stays behind a later code.
TEST_P(BackendTexts, RefusalsGiveTheSameCodesAndTheLastFailuresDetail) {
  std::unique_ptr<pvc::Session> s;
  ASSERT_EQ(db_.OpenOther(s), 0);
  using pvc::Bind;
  pvc::Row row;
  EXPECT_EQ(s->SelectOne(Op::FcdRead, {Bind::Int(1)}, row), pvc::kInternal);
  EXPECT_EQ(s->LastError().code, pvc::kInternal);
  EXPECT_NE(s->LastError().message.find("FcdRead"), std::string::npos) << s->LastError().message;
  EXPECT_EQ(s->RollbackTo("Bch_UpdFkt_Sp"), pvc::kNoSavepoint);  // no transaction open
  ASSERT_EQ(s->Savepoint("Tag_PKey_Upd_Sp"), pvc::kOk);
  EXPECT_EQ(s->RollbackTo("Bch_UpdFkt_Sp"), pvc::kNoSavepoint);  // another one is set
  EXPECT_EQ(s->RollbackTo("Tag_PKey_Upd_Sp"), pvc::kOk);
  const pvc::ErrorDetail refused = s->LastError();
  EXPECT_EQ(refused.code, pvc::kNoSavepoint);
  EXPECT_EQ(refused.message.find("FcdRead"), std::string::npos) << refused.message;
  // No row is no failure: the detail stays.
  EXPECT_EQ(s->SelectOne(Op::FcdRead, {Bind::Txt("~none~")}, row), pvc::kNoData);
  EXPECT_EQ(s->Write(Op::BchDelFkt, {Bind::Txt("~none~"), Bind::Dat("19000101"),
                                     Bind::Txt("000000"), Bind::Int(45)}),
            pvc::kNoData);
  EXPECT_EQ(s->LastError().code, refused.code);
  EXPECT_EQ(s->LastError().message, refused.message);
  ASSERT_EQ(s->Commit(), pvc::kOk);
  EXPECT_EQ(s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=NO_SUCH_SCHEMA"), pvc::kNoSchema);
  EXPECT_EQ(s->LastError().code, pvc::kNoSchema);
  EXPECT_EQ(s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=NO/SUCH"), pvc::kBadSchemaName);
  EXPECT_EQ(s->ExecDynamic("SET SCHEMA x"), pvc::kInvalidSql);
  EXPECT_EQ(s->LastError().code, pvc::kInvalidSql);
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendTexts, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const auto& p) { return p.param; });

// The shared core: one schema statement, one identifier rule, one conversion of inputs.
TEST(Core, SchemaStatementAndIdentifiers) {
  struct Case {
    const char* text;
    int code;
    const char* schema;
  } cases[] = {
      {"ALTER SESSION SET CURRENT_SCHEMA=PERSONAL", pvc::kOk, "PERSONAL"},
      {"alter session set current_schema=Firma_1$#", pvc::kOk, "Firma_1$#"},
      {"ALTER SESSION SET CURRENT_SCHEMA= PERSONAL", pvc::kBadSchemaName, ""},
      {"ALTER SESSION SET CURRENT_SCHEMA=", pvc::kBadSchemaName, ""},
      {"ALTER SESSION SET CURRENT_SCHEMA=1FIRMA", pvc::kBadSchemaName, ""},
      {"ALTER SESSION SET CURRENT_SCHEMA=A;DROP", pvc::kBadSchemaName, ""},
      {"ALTER SESSION SET CURRENT_SCHEMA=A/../B", pvc::kBadSchemaName, ""},
      {"ALTER SESSION SET SCHEMA=PERSONAL", pvc::kInvalidSql, ""},
      {"select 1", pvc::kInvalidSql, ""},
  };
  for (const auto& c : cases) {
    std::string schema = "unchanged";
    pvc::ErrorDetail err;
    EXPECT_EQ(pvc::ParseSchemaStatement(c.text, schema, err), c.code) << c.text;
    EXPECT_EQ(schema, c.code == pvc::kOk ? c.schema : "unchanged") << c.text;
    EXPECT_EQ(err.code, c.code == pvc::kOk ? 0 : c.code) << c.text;
  }
  EXPECT_TRUE(pvc::IsIdentifier(std::string(128, 'A')));
  EXPECT_FALSE(pvc::IsIdentifier(std::string(129, 'A')));
}

TEST(Core, InputsAreCheckedAgainstTheTableAndConverted) {
  using pvc::Bind;
  std::vector<pvc::Value> v;
  pvc::ErrorDetail err;
  ASSERT_EQ(pvc::BindValues(Op::BchInsert,
                            {Bind::Txt("4711"), Bind::Dat("20240301"),
                             Bind::DatTime("20240301080000"), Bind::Int(1), Bind::Txt("")},
                            v, err),
            pvc::kOk);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[0].text, "4711");
  EXPECT_EQ(v[1].text, "2024-03-01 00:00:00");
  EXPECT_EQ(v[2].text, "2024-03-01 08:00:00");
  EXPECT_TRUE(v[3].is_int && !v[3].null && v[3].num == 1);
  EXPECT_TRUE(v[4].null);  // an empty text is NULL
  // An empty date is NULL too; a malformed one gives its date code.
  ASSERT_EQ(pvc::BindValues(Op::TagPrev, {Bind::Txt("4711"), Bind::Dat("")}, v, err), pvc::kOk);
  EXPECT_TRUE(v[1].null);
  EXPECT_EQ(pvc::BindValues(Op::TagPrev, {Bind::Txt("4711"), Bind::Dat("20240230")}, v, err),
            pvc::kBadDay);
  EXPECT_EQ(err.code, pvc::kBadDay);
  // Too few values, or a value of the wrong kind, never reach an engine.
  EXPECT_EQ(pvc::BindValues(Op::TagPrev, {Bind::Txt("4711")}, v, err), pvc::kInternal);
  EXPECT_EQ(pvc::BindValues(Op::TagPrev, {Bind::Txt("4711"), Bind::Txt("20240301")}, v, err),
            pvc::kInternal);
}

}  // namespace
