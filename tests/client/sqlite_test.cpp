// What only the SQLite backend has: tables made by another program without the schema's
// checks, whose stored values are of the wrong kind. The contract every backend keeps is
// tests/contract/.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/client.h"
#include "client/codes.h"
#include "tests/support/testdb.h"

namespace {

using pvc::Bind;
using pvc::Op;
using pvt::Ts;

TEST(SqliteBackend, StoredValuesOfTheWrongKindGiveNegativeCodes) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  // A table made by another program, without the checks.
  ASSERT_EQ(db.Exec("DROP TABLE Krv327Tag; CREATE TABLE Krv327Tag (TagPnr TEXT, TagTag TEXT,"
                    " TagVon TEXT, TagUhr TEXT, TagBis TEXT, TagEnd TEXT, TagTgb TEXT,"
                    " TagTgs INTEGER, TagHtv TEXT, TagHvs INTEGER, TagHtn TEXT, TagHns INTEGER);"
                    "insert into Krv327Tag (TagPnr, TagTag, TagVon) values ('P', " +
                    Ts("20240201") +
                    ", '1.2.2024');"
                    "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('P', " +
                    Ts("20240201") +
                    ", 1);"
                    "insert into Krv131Fcd (FcdNum, FcdTyp, FcdSta) values ('K', 'abc', 0),"
                    " ('L', ' 12 ', 0);"),
            0)
      << db.last_error();
  ASSERT_EQ(db.Connect(), 0);
  pvc::Session* s = pvc::Current();
  pvc::Row row;
  EXPECT_EQ(s->SelectOne(Op::FcdRead, {Bind::Txt("K")}, row), pvc::kInvalidNumber);
  ASSERT_EQ(s->SelectOne(Op::FcdRead, {Bind::Txt("L")}, row), 0);
  EXPECT_EQ(row[1].num, 12);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s->Open(Op::TagPrev, {Bind::Txt("P"), Bind::Dat("20240301")}, c), 0);
  EXPECT_EQ(c->Fetch(row), pvc::kBadDateFormat);
}

}  // namespace
