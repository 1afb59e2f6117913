#include "client/pg_statements.h"

namespace pvc {
namespace {

// Select list of the day-record cursors (TagSatz, 13 columns).
#define PVK_TAG_COLUMNS                                                                   \
  "t.TagPnr, to_char(t.TagTag,'YYYYMMDD'), to_char(t.TagVon,'YYYYMMDD'), "                \
  "to_char(t.TagUhr,'HH24MISS'), to_char(t.TagBis,'YYYYMMDD'), to_char(t.TagEnd,'HH24MISS'), " \
  "g.TgbSol, t.TagTgb, t.TagTgs, t.TagHtv, t.TagHvs, t.TagHtn, t.TagHns"

// Select list of the booking cursors (BchSatz, 18 columns).
#define PVK_BCH_COLUMNS                                                                    \
  "b.BchPnr, to_char(b.BchVon,'YYYYMMDD'), to_char(b.BchUhr,'HH24MISS'), b.BchFkt, "       \
  "to_char(b.BchBis,'YYYYMMDD'), to_char(b.BchVws,'HH24MISS'), b.BchFcd, b.BchZwt, "       \
  "b.BchAbt, b.BchKst, b.BchKtr, b.BchKrt, b.BchAzt, b.BchVra, b.BchTxt, b.BchSta, "       \
  "b.BchErf, b.BchTrm"

// A booking's point in time as its 14-digit text. A text of record concatenates with NULL
// standing for an empty text and yields NULL for an empty result; nullif(concat()) does both.
#define PVK_BCH_POINT \
  "nullif(concat(to_char(b.BchVon,'YYYYMMDD'), to_char(b.BchUhr,'HH24MISS')),'') COLLATE \"C\""

// Indexed by Op; kept in Op order (checked below).
const PgStatement kStatements[] = {
    // TagYday: placeholder day records of the server's yesterday with a TgbZtr 1 row.
    {"pvk_tagyday",
     "select " PVK_TAG_COLUMNS
     " from Krv327Tag t, Krv320Tgb g"
     " where t.TagTag = (current_date - 1)::timestamp"
     " and to_char(t.TagVon,'YYYYMMDD') = to_char(t.TagBis,'YYYYMMDD')"
     " and to_char(t.TagUhr,'HH24MISS') = to_char(t.TagEnd,'HH24MISS')"
     " and to_char(t.TagUhr,'HH24MISS') = '120000'"
     " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1",
     0},
    // TagPrev: the person's earlier day records with a TgbZtr 1 row, newest first.
    {"pvk_tagprev",
     "select " PVK_TAG_COLUMNS
     " from Krv327Tag t, Krv320Tgb g"
     " where t.TagPnr = $1 and t.TagTag < $2::timestamp"
     " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1"
     " order by t.TagTag desc",
     2},
    // BchTagMld: the person's day messages on the calendar day $2.
    {"pvk_bchtagmld",
     "select " PVK_BCH_COLUMNS
     " from Krv321Bch b"
     " where b.BchPnr = $1"
     " and b.BchVon >= $2::timestamp and b.BchVon < $2::timestamp + interval '1 day'"
     " and b.BchFkt in (1, 2, 3)",
     2},
    // BchStdMld: bookings inside the stored time frame of the person's day $2, newest first.
    // The range on BchVon is implied by the text comparison and lets the key index bound it.
    {"pvk_bchstdmld",
     "select " PVK_BCH_COLUMNS
     " from Krv327Tag t join Krv321Bch b on b.BchPnr = t.TagPnr"
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
     2},
    // FcdReadFlg
    {"pvk_fcdreadflg", "select FcdFlg from Krv131Fcd where FcdNum = $1 and FcdSta < 4 limit 2",
     1},
    // FcdRead
    {"pvk_fcdread",
     "select FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, coalesce(FcdPri, 0), coalesce(FcdGpu, 0),"
     " coalesce(FcdFcd, -9), FcdFlg from Krv131Fcd where FcdNum = $1 limit 2",
     1},
    // AzvRead
    {"pvk_azvread",
     "select a.AzvNum, to_char(z.ZtgVon,'YYYYMMDD'), a.AzvSol, a.AzvSo2, a.AzvVhs, a.AzvHso,"
     " a.AzvHs2, a.AzvHtv"
     " from Krv329Ztg z, Krv140Azv a"
     " where z.ZtgPnr = $1 and z.ZtgVon = $2::timestamp and z.ZtgAzt = a.AzvNum"
     " and z.ZtgVon >= a.AzvGvo and (z.ZtgVon <= a.AzvGbi or a.AzvGbi is null)"
     " and z.ZtgSta < 4 and a.AzvSta < 4 limit 2",
     2},
    // BchCountTagMld: BchVon compared as stored, with the day at midnight.
    {"pvk_bchcounttagmld",
     "select count(*) from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp and BchFkt = 1",
     2},
    // BchCountStdMld: bookings between two 14-digit bounds passed in, both included.
    {"pvk_bchcountstdmld",
     "select count(*) from Krv321Bch b"
     " where b.BchPnr = $1"
     " and b.BchVon >= coalesce($4::timestamp, '-infinity')"
     " and b.BchVon < coalesce($5::timestamp + interval '1 day', 'infinity')"
     " and " PVK_BCH_POINT " >= $2::text and " PVK_BCH_POINT " <= $3::text"
     " and b.BchFkt in (21, 22, 23, 24, 25, 29, 30, 0)",
     5},
    // TagUpdate
    {"pvk_tagupdate",
     "update Krv327Tag set TagTgb = $1, TagTgs = $2, TagHtv = $3, TagHvs = $4, TagHtn = $5,"
     " TagHns = $6 where TagPnr = $7 and TagTag = $8::timestamp",
     8},
    // BchUpdFkt: BchDat becomes the server's date and time, to the second.
    {"pvk_bchupdfkt",
     "update Krv321Bch set BchFkt = $1,"
     " BchDat = date_trunc('second', statement_timestamp()::timestamp), BchErf = 'Korvant'"
     " where BchPnr = $2 and BchVon = $3::timestamp and to_char(BchUhr,'HH24MISS') = $4"
     " and BchFkt = $5",
     5},
    // BchDelFkt
    {"pvk_bchdelfkt",
     "delete from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp"
     " and to_char(BchUhr,'HH24MISS') = $3 and BchFkt = $4",
     4},
    // BchInsert
    {"pvk_bchinsert",
     "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd)"
     " values ($1, $2::timestamp, $3::timestamp, $4, $5)",
     5},
};

static_assert(sizeof(kStatements) / sizeof(kStatements[0]) == static_cast<size_t>(Op::kCount),
              "one PostgreSQL statement per Op");

}  // namespace

const PgStatement& Pg_Statement(Op op) { return kStatements[static_cast<int>(op)]; }

bool Pg_IsCursor(Op op) {
  return op == Op::TagYday || op == Op::TagPrev || op == Op::BchTagMld || op == Op::BchStdMld;
}

}  // namespace pvc
