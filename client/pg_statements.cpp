#include "client/pg_statements.h"

#include <array>
#include <string>

namespace pvc {
namespace {

// Select list of the day-record cursors (TagSatz, 13 columns).
#define PVK_TAG_COLUMNS                                                                        \
  "t.TagPnr, to_char(t.TagTag,'YYYYMMDD'), to_char(t.TagVon,'YYYYMMDD'), "                     \
  "to_char(t.TagUhr,'HH24MISS'), to_char(t.TagBis,'YYYYMMDD'), to_char(t.TagEnd,'HH24MISS'), " \
  "g.TgbSol, t.TagTgb, t.TagTgs, t.TagHtv, t.TagHvs, t.TagHtn, t.TagHns"

// Select list of the booking cursors (BchSatz, 18 columns).
#define PVK_BCH_COLUMNS                                                              \
  "b.BchPnr, to_char(b.BchVon,'YYYYMMDD'), to_char(b.BchUhr,'HH24MISS'), b.BchFkt, " \
  "to_char(b.BchBis,'YYYYMMDD'), to_char(b.BchVws,'HH24MISS'), b.BchFcd, b.BchZwt, " \
  "b.BchAbt, b.BchKst, b.BchKtr, b.BchKrt, b.BchAzt, b.BchVra, b.BchTxt, b.BchSta, " \
  "b.BchErf, b.BchTrm"

// What follows the select list of TagPrev; its key-paged form adds the key and a limit.
#define PVK_TAGPREV_REST                                              \
  " from Krv327Tag t, Krv320Tgb g"                                    \
  " where t.TagPnr = $1 and t.TagTag < $2::timestamp"                 \
  " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1" \
  " order by t.TagTag desc"

// A booking's point in time as its 14-digit text. A text of record concatenates with NULL
// standing for an empty text and yields NULL for an empty result; nullif(concat()) does both.
#define PVK_BCH_POINT \
  "nullif(concat(to_char(b.BchVon,'YYYYMMDD'), to_char(b.BchUhr,'HH24MISS')),'') COLLATE \"C\""

// Indexed by Op; kept in Op order (checked below).
constexpr PgStatement kStatements[] = {
    // TagYday: placeholder day records of the server's yesterday with a TgbZtr 1 row.
    {Op::TagYday,
     "select " PVK_TAG_COLUMNS " from Krv327Tag t, Krv320Tgb g"
     " where t.TagTag = (current_date - 1)::timestamp"
     " and to_char(t.TagVon,'YYYYMMDD') = to_char(t.TagBis,'YYYYMMDD')"
     " and to_char(t.TagUhr,'HH24MISS') = to_char(t.TagEnd,'HH24MISS')"
     " and to_char(t.TagUhr,'HH24MISS') = '120000'"
     " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1",
     0},
    // TagYdayAt: the same for the day bound.
    {Op::TagYdayAt,
     "select " PVK_TAG_COLUMNS " from Krv327Tag t, Krv320Tgb g"
     " where t.TagTag = $1::timestamp"
     " and to_char(t.TagVon,'YYYYMMDD') = to_char(t.TagBis,'YYYYMMDD')"
     " and to_char(t.TagUhr,'HH24MISS') = to_char(t.TagEnd,'HH24MISS')"
     " and to_char(t.TagUhr,'HH24MISS') = '120000'"
     " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1",
     0},
    // TagPrev: the person's earlier day records with a TgbZtr 1 row, newest first.
    {Op::TagPrev, "select " PVK_TAG_COLUMNS PVK_TAGPREV_REST, 0},
    // BchTagMld: the person's day messages on the calendar day $2.
    {Op::BchTagMld,
     "select " PVK_BCH_COLUMNS " from Krv321Bch b"
     " where b.BchPnr = $1"
     " and b.BchVon >= $2::timestamp and b.BchVon < $2::timestamp + interval '1 day'"
     " and b.BchFkt in (1, 2, 3)",
     0},
    // BchStdMld: bookings inside the stored time frame of the person's day $2, newest first.
    // The range on BchVon is implied by the text comparison and lets the key index bound it.
    {Op::BchStdMld,
     "select " PVK_BCH_COLUMNS " from Krv327Tag t join Krv321Bch b on b.BchPnr = t.TagPnr"
     " where t.TagPnr = $1 and t.TagTag = $2::timestamp"
     " and b.BchVon >= coalesce(date_trunc('day', t.TagVon), '-infinity')"
     " and b.BchVon < coalesce(date_trunc('day', t.TagBis) + interval '1 day', 'infinity')"
     " and " PVK_BCH_POINT
     " >= nullif(concat(to_char(t.TagVon,'YYYYMMDD'), to_char(t.TagUhr,'HH24MISS')),'')"
     " and " PVK_BCH_POINT
     " <= nullif(concat(to_char(t.TagBis,'YYYYMMDD'), to_char(t.TagEnd,'HH24MISS')),'')"
     " and b.BchFkt <> 45 and b.BchFkt <> 29"
     " order by to_char(b.BchVon,'YYYYMMDD') COLLATE \"C\" desc,"
     " to_char(b.BchUhr,'HH24MISS') COLLATE \"C\" desc",
     0},
    // FcdReadFlg
    {Op::FcdReadFlg, "select FcdFlg from Krv131Fcd where FcdNum = $1 and FcdSta < 4 limit 2", 0},
    // FcdRead
    {Op::FcdRead,
     "select FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, coalesce(FcdPri, 0), coalesce(FcdGpu, 0),"
     " coalesce(FcdFcd, -9), FcdFlg from Krv131Fcd where FcdNum = $1 limit 2",
     0},
    // AzvRead
    {Op::AzvRead,
     "select a.AzvNum, to_char(z.ZtgVon,'YYYYMMDD'), a.AzvSol, a.AzvSo2, a.AzvVhs, a.AzvHso,"
     " a.AzvHs2, a.AzvHtv"
     " from Krv329Ztg z, Krv140Azv a"
     " where z.ZtgPnr = $1 and z.ZtgVon = $2::timestamp and z.ZtgAzt = a.AzvNum"
     " and z.ZtgVon >= a.AzvGvo and (z.ZtgVon <= a.AzvGbi or a.AzvGbi is null)"
     " and z.ZtgSta < 4 and a.AzvSta < 4 limit 2",
     0},
    // BchCountTagMld: BchVon compared as stored, with the day at midnight.
    {Op::BchCountTagMld,
     "select count(*) from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp and BchFkt = 1",
     0},
    // BchCountStdMld: bookings between two 14-digit bounds passed in, both included.
    {Op::BchCountStdMld,
     "select count(*) from Krv321Bch b"
     " where b.BchPnr = $1"
     " and b.BchVon >= coalesce($4::timestamp, '-infinity')"
     " and b.BchVon < coalesce($5::timestamp + interval '1 day', 'infinity')"
     " and " PVK_BCH_POINT " >= $2::text and " PVK_BCH_POINT " <= $3::text"
     " and b.BchFkt in (21, 22, 23, 24, 25, 29, 30, 0)",
     2},
    // TagUpdate
    {Op::TagUpdate,
     "update Krv327Tag set TagTgb = $1, TagTgs = $2, TagHtv = $3, TagHvs = $4, TagHtn = $5,"
     " TagHns = $6 where TagPnr = $7 and TagTag = $8::timestamp",
     0},
    // BchUpdFkt: BchDat becomes the server's date and time, to the second.
    {Op::BchUpdFkt,
     "update Krv321Bch set BchFkt = $1,"
     " BchDat = date_trunc('second', statement_timestamp()::timestamp), BchErf = 'Korvant'"
     " where BchPnr = $2 and BchVon = $3::timestamp and to_char(BchUhr,'HH24MISS') = $4"
     " and BchFkt = $5",
     0},
    // BchDelFkt
    {Op::BchDelFkt,
     "delete from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp"
     " and to_char(BchUhr,'HH24MISS') = $3 and BchFkt = $4",
     0},
    // BchInsert
    {Op::BchInsert,
     "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd)"
     " values ($1, $2::timestamp, $3::timestamp, $4, $5)",
     0},
    // BchReadFcd: the key of BchDelFkt.
    {Op::BchReadFcd,
     "select BchFcd from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp"
     " and to_char(BchUhr,'HH24MISS') = $3 and BchFkt = $4",
     0},
    // Today: the server's date.
    {Op::Today, "select to_char(current_date,'YYYYMMDD')", 0},
    // BchReadRow: every date as its 14-digit text (NULL stays NULL).
    {Op::BchReadRow,
     "select BchPnr, to_char(BchVon,'YYYYMMDDHH24MISS'), to_char(BchUhr,'YYYYMMDDHH24MISS'),"
     " BchFkt, to_char(BchBis,'YYYYMMDDHH24MISS'), to_char(BchVws,'YYYYMMDDHH24MISS'), BchFcd,"
     " BchZwt, BchAbt, BchKst, BchKtr, BchKrt, BchAzt, BchVra, BchTxt, BchSta, BchErf, BchTrm,"
     " to_char(BchDat,'YYYYMMDDHH24MISS') from Krv321Bch where BchPnr = $1"
     " and BchVon = $2::timestamp and to_char(BchUhr,'HH24MISS') = $3 and BchFkt = $4",
     0},
    // BchInsertRow
    {Op::BchInsertRow,
     "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchBis, BchVws, BchFcd, BchZwt,"
     " BchAbt, BchKst, BchKtr, BchKrt, BchAzt, BchVra, BchTxt, BchSta, BchErf, BchTrm, BchDat)"
     " values ($1, $2::timestamp, $3::timestamp, $4, $5::timestamp, $6::timestamp, $7,"
     " $8::integer, $9, $10, $11, $12, $13, $14, $15::integer, $16::integer, $17, $18,"
     " $19::timestamp)",
     0},
    // BchSetFkt
    {Op::BchSetFkt,
     "update Krv321Bch set BchFkt = $1, BchDat = $2::timestamp, BchErf = $3"
     " where BchPnr = $4 and BchVon = $5::timestamp and to_char(BchUhr,'HH24MISS') = $6"
     " and BchFkt = $7",
     0},
    // TagReadPairs
    {Op::TagReadPairs,
     "select TagTgb, TagTgs, TagHtv, TagHvs, TagHtn, TagHns from Krv327Tag"
     " where TagPnr = $1 and TagTag = $2::timestamp",
     0},
    // TagRestore
    {Op::TagRestore,
     "update Krv327Tag set TagTgb = $1, TagTgs = $2::integer, TagHtv = $3, TagHvs = $4::integer,"
     " TagHtn = $5, TagHns = $6::integer where TagPnr = $7 and TagTag = $8::timestamp",
     0},
};

static_assert(Op_RowsInOrder(kStatements), "one text per statement, in Op order");

}  // namespace

const PgStatement& Pg_Statement(Op op) { return kStatements[static_cast<size_t>(op)]; }

std::vector<Cell> Pg_DerivedValues(Op op, const std::vector<Bind>& in) {
  std::vector<Cell> out;
  if (Pg_Statement(op).derived != 2 || in.size() != 3) return out;
  // The days of the two 14-digit bounds, where they begin with a date: a booking inside the
  // bounds lies on one of those days or between them.
  for (size_t i : {size_t{1}, size_t{2}}) {
    Cell c;
    const std::string& bound = in[i].text;
    c.null = !(bound.size() >= 8 && ToDbDate(bound.substr(0, 8), false, c.text) == 0);
    if (c.null) c.text.clear();
    out.push_back(std::move(c));
  }
  return out;
}

const char* Pg_PagedStatement(Op op) {
  // (TagPnr, TagTag) is the day record's key and TgbZtr is fixed: the key is unique per person.
  if (op == Op::TagPrev) return "select " PVK_TAG_COLUMNS ", t.TagTag" PVK_TAGPREV_REST " limit $3";
  return nullptr;
}

const char* Pg_StatementName(Op op) {
  static const auto names = [] {
    std::array<std::string, kOpCount> n;
    for (size_t i = 0; i < kOpCount; ++i) {
      n[i] = "pvk_";
      for (const char* c = kOps[i].name; *c != '\0'; ++c)
        n[i] += static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
    }
    return n;
  }();
  return names[static_cast<size_t>(op)].c_str();
}

}  // namespace pvc
