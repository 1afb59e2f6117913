// The SQLite text of every statement of the job. Each selects exactly what the job's text of
// record selects, written for dates stored as 'YYYY-MM-DD HH:MM:SS' and so that every query
// is answered through an index (no scan of a person's whole history):
//  - TO_CHAR(x,'yyyymmdd') and TO_CHAR(x,'HH24MISS') are cut from the stored text (D8, T6);
//  - concat() of two such texts is NULL only when both are NULL (P14);
//  - a 14-digit point-in-time bound also limits BchVon to the dates it admits (the condition
//    is implied by the original one, so it changes no result, but lets the key be used).
#include "client/sqlite_internal.h"

namespace pvc::sqlite {
namespace {

#define D8(c) "(substr(" c ",1,4)||substr(" c ",6,2)||substr(" c ",9,2))"
#define T6(c) "(substr(" c ",12,2)||substr(" c ",15,2)||substr(" c ",18,2))"
#define P14(d, t) "nullif(ifnull(" D8(d) ",'')||ifnull(" T6(t) ",''),'')"
// The stored-date prefix 'YYYY-MM-DD' of a bound 14-digit text.
#define DAY_OF(p) "(substr(" p ",1,4)||'-'||substr(" p ",5,2)||'-'||substr(" p ",7,2))"

#define TAG_COLS                                                                         \
  "TagPnr,TagTag,TagVon,TagUhr,TagBis,TagEnd,TgbSol,TagTgb,TagTgs,TagHtv,TagHvs,TagHtn," \
  "TagHns"
#define BCH_COLS                                                                         \
  "BchPnr,BchVon,BchUhr,BchFkt,BchBis,BchVws,BchFcd,BchZwt,BchAbt,BchKst,BchKtr,BchKrt," \
  "BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm"

// What follows the select list of TagPrev; its key-paged form adds the key and a limit.
#define TAGPREV_REST                                        \
  " from Krv327Tag, Krv320Tgb"                              \
  " where TagPnr = ?1 and TagTag < ?2"                      \
  " and TgbPnr = TagPnr and TgbDtm = TagTag and TgbZtr = 1" \
  " order by TagTag desc"

constexpr BackendText kCatalog[] = {
    // TagYday: trunc(sysdate)-1 is the machine's local yesterday at midnight.
    {Op::TagYday,
     "select " TAG_COLS " from Krv327Tag, Krv320Tgb"
     " where TagTag = date('now','localtime','-1 day')||' 00:00:00'"
     " and " D8("TagVon") " = " D8("TagBis") " and " T6("TagUhr") " = " T6("TagEnd") " and " T6(
         "TagUhr") " = '120000'"
                   " and TgbPnr = TagPnr and TgbDtm = TagTag and TgbZtr = 1"},
    // TagYdayAt: the same for the day bound.
    {Op::TagYdayAt,
     "select " TAG_COLS " from Krv327Tag, Krv320Tgb"
     " where TagTag = ?1"
     " and " D8("TagVon") " = " D8("TagBis") " and " T6("TagUhr") " = " T6("TagEnd") " and " T6(
         "TagUhr") " = '120000'"
                   " and TgbPnr = TagPnr and TgbDtm = TagTag and TgbZtr = 1"},
    // TagPrev
    {Op::TagPrev, "select " TAG_COLS TAGPREV_REST},
    // BchTagMld: TO_Date(BchVon) = day compares the calendar day.
    {Op::BchTagMld,
     "select " BCH_COLS " from Krv321Bch"
     " where BchPnr = ?1 and BchVon >= substr(?2,1,10) and BchVon < substr(?2,1,10)||'~'"
     " and BchFkt in (1,2,3)"},
    // BchStdMld: the frame as stored in the person's day record for the day.
    {Op::BchStdMld,
     "select " BCH_COLS " from Krv327Tag, Krv321Bch"
     " where TagPnr = ?1 and TagTag = ?2 and BchPnr = TagPnr"
     // A NULL TagVon or TagBis leaves that side of the range open, as the exact test below
     // may still admit bookings then.
     " and BchVon >= ifnull(substr(TagVon,1,10),'') and BchVon < "
     "ifnull(substr(TagBis,1,10)||'~','~')"
     " and " P14("BchVon", "BchUhr") " >= " P14("TagVon", "TagUhr") " and " P14(
         "BchVon", "BchUhr") " <= " P14("TagBis", "TagEnd") " and BchFkt <> 45 and BchFkt <> 29"
                                                            " order by " D8("BchVon") " desc, " T6(
                                                                "BchUhr") " desc"},
    // FcdReadFlg
    {Op::FcdReadFlg, "select FcdFlg from Krv131Fcd where FcdNum = ?1 and FcdSta < 4"},
    // FcdRead
    {Op::FcdRead,
     "select FcdNum,FcdTyp,FcdZwt,FcdStd,FcdSol,ifnull(FcdPri,0),ifnull(FcdGpu,0),"
     "ifnull(FcdFcd,-9),FcdFlg from Krv131Fcd where FcdNum = ?1"},
    // AzvRead: AzvGbi NULL is open-ended.
    {Op::AzvRead,
     "select AzvNum,ZtgVon,AzvSol,AzvSo2,AzvVhs,AzvHso,AzvHs2,AzvHtv"
     " from Krv329Ztg, Krv140Azv"
     " where ZtgPnr = ?1 and ZtgVon = ?2 and ZtgAzt = AzvNum and ZtgVon >= AzvGvo"
     " and (ZtgVon <= AzvGbi or AzvGbi is null) and ZtgSta < 4 and AzvSta < 4"},
    // BchCountTagMld: BchVon compared as stored, with the day at midnight.
    {Op::BchCountTagMld,
     "select count(*) from Krv321Bch where BchPnr = ?1 and BchVon = ?2 and BchFkt = 1"},
    // BchCountStdMld: the frame passed in, bounds included, BchFkt 29 counted.
    {Op::BchCountStdMld,
     "select count(*) from Krv321Bch"
     " where BchPnr = ?1 and BchVon >= " DAY_OF("?2") " and BchVon < " DAY_OF(
         "?3") "||'~'"
               " and " P14("BchVon", "BchUhr") " >= ?2 and " P14(
                   "BchVon", "BchUhr") " <= ?3"
                                       " and BchFkt in (21,22,23,24,25,29,30,0)"},
    // TagUpdate
    {Op::TagUpdate,
     "update Krv327Tag set TagTgb = ?1, TagTgs = ?2, TagHtv = ?3, TagHvs = ?4, TagHtn = ?5,"
     " TagHns = ?6 where TagPnr = ?7 and TagTag = ?8"},
    // BchUpdFkt: sysdate is the machine's local date and time.
    {Op::BchUpdFkt,
     "update Krv321Bch set BchFkt = ?1, BchDat = datetime('now','localtime'),"
     " BchErf = 'Korvant'"
     " where BchPnr = ?2 and BchVon = ?3 and " T6("BchUhr") " = ?4 and BchFkt = ?5"},
    // BchDelFkt
    {Op::BchDelFkt,
     "delete from Krv321Bch"
     " where BchPnr = ?1 and BchVon = ?2 and " T6("BchUhr") " = ?3 and BchFkt = ?4"},
    // BchInsert: BchVon the date at midnight, BchUhr the full point in time.
    {Op::BchInsert,
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd) values (?1,?2,?3,?4,?5)"},
    // BchReadFcd: the key of BchDelFkt.
    {Op::BchReadFcd,
     "select BchFcd from Krv321Bch"
     " where BchPnr = ?1 and BchVon = ?2 and " T6("BchUhr") " = ?3 and BchFkt = ?4"},
    // Today: sysdate is the machine's local date.
    {Op::Today, "select date('now','localtime')||' 00:00:00'"},
    // BchReadRow: every date as its 14-digit text (NULL stays NULL).
    {Op::BchReadRow,
     "select BchPnr," D8("BchVon") "||" T6("BchVon") "," D8("BchUhr") "||" T6("BchUhr") ",BchFkt,"
     D8("BchBis") "||" T6("BchBis") "," D8("BchVws") "||" T6("BchVws") ",BchFcd,BchZwt,BchAbt,"
     "BchKst,BchKtr,BchKrt,BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm,"
     D8("BchDat") "||" T6("BchDat") " from Krv321Bch"
     " where BchPnr = ?1 and BchVon = ?2 and " T6("BchUhr") " = ?3 and BchFkt = ?4"},
    // BchInsertRow: the integers given as texts become integers again.
    {Op::BchInsertRow,
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchBis,BchVws,BchFcd,BchZwt,BchAbt,"
     "BchKst,BchKtr,BchKrt,BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm,BchDat) values (?1,?2,?3,"
     "?4,?5,?6,?7,cast(?8 as integer),?9,?10,?11,?12,?13,?14,cast(?15 as integer),"
     "cast(?16 as integer),?17,?18,?19)"},
    // BchSetFkt
    {Op::BchSetFkt,
     "update Krv321Bch set BchFkt = ?1, BchDat = ?2, BchErf = ?3"
     " where BchPnr = ?4 and BchVon = ?5 and " T6("BchUhr") " = ?6 and BchFkt = ?7"},
    // TagReadPairs
    {Op::TagReadPairs,
     "select TagTgb,TagTgs,TagHtv,TagHvs,TagHtn,TagHns from Krv327Tag"
     " where TagPnr = ?1 and TagTag = ?2"},
    // TagRestore
    {Op::TagRestore,
     "update Krv327Tag set TagTgb = ?1, TagTgs = cast(?2 as integer), TagHtv = ?3,"
     " TagHvs = cast(?4 as integer), TagHtn = ?5, TagHns = cast(?6 as integer)"
     " where TagPnr = ?7 and TagTag = ?8"},
};

static_assert(Op_RowsInOrder(kCatalog), "one text per statement, in Op order");

}  // namespace

const char* Statement(Op op) { return kCatalog[static_cast<size_t>(op)].text; }

const char* PagedStatement(Op op) {
  // (TagPnr, TagTag) is the day record's key and TgbZtr is fixed: the key is unique per person.
  if (op == Op::TagPrev) return "select " TAG_COLS ",TagTag" TAGPREV_REST " limit ?3";
  return nullptr;
}

}  // namespace pvc::sqlite
