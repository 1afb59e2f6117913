// The job's statements, described once: every backend, the statement module, the counters and
// the tools derive what they need from this one table.
//
// Per statement: its name, its kind, the kinds of its inputs in binding order, the kinds of its
// outputs in select-list order, the savepoint of a write, the text of record, and each engine's
// text. The text of record is the statement as the job's reference database runs it, in
// embedded-SQL form (an INTO list names the outputs of a single-row select; ":b0:b1" is a value
// bound with its indicator), trailing and double blanks included; Oracle through ODBC runs it
// (client/odbc derives its `?` form). The SQLite text takes ?1..?n, the PostgreSQL text $1..$n,
// both in the binding order given here. Each selects exactly what the text of record selects, in
// its column order.
//
//  - SQLite: dates are stored as 'YYYY-MM-DD HH:MM:SS'; every query is answered through an index
//    (no scan of a person's whole history): a 14-digit bound also limits BchVon to the dates it
//    admits (implied by the original condition, so it changes no result, but lets the key be used).
//  - PostgreSQL: dates travel as timestamps 'YYYY-MM-DD HH:MM:SS' (timestamp(0) without time
//    zone); 'yesterday' is the server's current_date - 1; 14-digit points in time are compared as
//    texts in binary order, as the texts of record do. A text may take parameters the backend
//    derives from the inputs (`pg_derived`, after the inputs; client/core/engine_texts.h).
//  - A cursor's key-paged form (`sqlite_paged`, `pg_paged`, or nullptr) selects its list with the
//    key last; its 2nd value is the key's bound (the open's, then the previous page's last key),
//    its 3rd the page's limit.
//
// To add a statement: add its Op, its row here (every engine's text) and in kOpNames
// (client/core/statement_names.h), and its operation in db/parveksql.
#pragma once

#include <cstddef>
#include <string_view>

namespace pvc {

enum class Op : int {
  TagYday,
  TagYdayAt,  // the yesterday cursor for a given accounting day (a catch-up of a missed night)
  TagPrev,
  BchTagMld,  // the cursors BchVortag and BchAbrTag
  BchStdMld,
  FcdReadFlg,
  FcdRead,
  AzvRead,
  BchCountTagMld,
  BchCountStdMld,
  TagUpdate,
  BchUpdFkt,
  BchDelFkt,
  BchInsert,
  BchReadFcd,  // the code of one booking, read by the preview before it is cancelled or deleted
  Today,       // the database's date: a catch-up's day must lie before it
  // A night's journal and its undo (parvekctl): whole rows read and written back.
  BchReadRow,    // one booking whole, by the key of BchDelFkt
  BchInsertRow,  // a booking inserted again with every column
  BchSetFkt,     // a booking's function set back, with BchDat and BchErf
  TagReadPairs,  // the three code/value pairs of one day record
  TagRestore,    // the three code/value pairs written back, NULLs included
  DbIdentity,    // which database this is, for a key every way of reaching it agrees on
  kCount
};

enum class OpKind : char {
  Cursor,          // a query read through a cursor
  Select,          // a single-row select: 1403 for no row, -1422 for more than one
  Insert,          // a write
  UpdateOrDelete,  // a write that returns 1403 when it matched no row
};

// Input kinds: 'T' text, 'I' integer, 'D' date 'yyyymmdd', 'P' point in time 'yyyymmddHHMMSS',
// 'N' an integer given as its decimal text (bound as a text; empty for NULL).
// Output kinds: 'T' text, 'I' integer, 'D' date 'yyyymmdd', 'H' time of day 'HHMMSS'.
struct OpInfo {
  Op op;
  const char* name;       // "TagYday": counters, traces and tools name statements by it
  const char* operation;  // the statement module's operation(s) that run it
  OpKind kind;
  const char* in;         // one input kind per bound value, in binding order
  const char* out;        // one output kind per selected column; "" for writes
  const char* savepoint;  // writes: the savepoint set before the statement; otherwise nullptr
  const char* text;       // the text of record (Oracle, and ODBC servers of no known engine)
  const char* sqlite;     // the SQLite text
  const char* postgres;   // the PostgreSQL text
  int pg_derived = 0;     // parameters the PostgreSQL text takes beyond the inputs
  const char* sqlite_paged = nullptr;  // a cursor's key-paged SQLite text, or nullptr
  const char* pg_paged = nullptr;      // a cursor's key-paged PostgreSQL text, or nullptr
};

// The booking cursors deliver one person's bookings of one day or of one day's time frame: a
// handful of rows, which a backend may read whole at the open on the connection it writes on.
constexpr bool Op_FewRows(Op op) { return op == Op::BchTagMld || op == Op::BchStdMld; }

inline constexpr const char kTagOut[] = "TDDHDHITITITI";       // TagSatz, 13 columns
inline constexpr const char kBchOut[] = "TDHIDHTITTTTTTIITT";  // BchSatz, 18 columns
// A whole booking: BchSatz's columns with every date as a 14-digit text, then BchDat.
inline constexpr const char kBchRowOut[] = "TTTITTTITTTTTTIITTT";

// ---- building blocks of the engines' texts (undefined after the table)
// SQLite: TO_CHAR(c,'yyyymmdd') and TO_CHAR(c,'HH24MISS') cut from the stored text (D8, T6); a
// point in time as 14 digits, NULL only when both parts are (P14); the stored-date prefix
// 'YYYY-MM-DD' of a bound 14-digit text (DAY_OF).
#define PVK_SQ_D8(c) "(substr(" c ",1,4)||substr(" c ",6,2)||substr(" c ",9,2))"
#define PVK_SQ_T6(c) "(substr(" c ",12,2)||substr(" c ",15,2)||substr(" c ",18,2))"
#define PVK_SQ_P14(d, t) "nullif(ifnull(" PVK_SQ_D8(d) ",'')||ifnull(" PVK_SQ_T6(t) ",''),'')"
#define PVK_SQ_DAY_OF(p) "(substr(" p ",1,4)||'-'||substr(" p ",5,2)||'-'||substr(" p ",7,2))"
#define PVK_SQ_TAG_COLS                                                                  \
  "TagPnr,TagTag,TagVon,TagUhr,TagBis,TagEnd,TgbSol,TagTgb,TagTgs,TagHtv,TagHvs,TagHtn," \
  "TagHns"
#define PVK_SQ_BCH_COLS                                                                  \
  "BchPnr,BchVon,BchUhr,BchFkt,BchBis,BchVws,BchFcd,BchZwt,BchAbt,BchKst,BchKtr,BchKrt," \
  "BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm"
// What follows the select list of TagPrev; its key-paged form adds the key and a limit.
// (TagPnr, TagTag) is the day record's key and TgbZtr is fixed: the key is unique per person.
#define PVK_SQ_TAGPREV_REST                                 \
  " from Krv327Tag, Krv320Tgb"                              \
  " where TagPnr = ?1 and TagTag < ?2"                      \
  " and TgbPnr = TagPnr and TgbDtm = TagTag and TgbZtr = 1" \
  " order by TagTag desc"
#define PVK_SQ_TAGPREV_PAGED "select " PVK_SQ_TAG_COLS ",TagTag" PVK_SQ_TAGPREV_REST " limit ?3"

// PostgreSQL: the select lists of the day-record cursors (TagSatz, 13 columns) and of the
// booking cursors (BchSatz, 18 columns).
#define PVK_PG_TAG_COLS                                                                        \
  "t.TagPnr, to_char(t.TagTag,'YYYYMMDD'), to_char(t.TagVon,'YYYYMMDD'), "                     \
  "to_char(t.TagUhr,'HH24MISS'), to_char(t.TagBis,'YYYYMMDD'), to_char(t.TagEnd,'HH24MISS'), " \
  "g.TgbSol, t.TagTgb, t.TagTgs, t.TagHtv, t.TagHvs, t.TagHtn, t.TagHns"
#define PVK_PG_BCH_COLS                                                              \
  "b.BchPnr, to_char(b.BchVon,'YYYYMMDD'), to_char(b.BchUhr,'HH24MISS'), b.BchFkt, " \
  "to_char(b.BchBis,'YYYYMMDD'), to_char(b.BchVws,'HH24MISS'), b.BchFcd, b.BchZwt, " \
  "b.BchAbt, b.BchKst, b.BchKtr, b.BchKrt, b.BchAzt, b.BchVra, b.BchTxt, b.BchSta, " \
  "b.BchErf, b.BchTrm"
#define PVK_PG_TAGPREV_REST                                           \
  " from Krv327Tag t, Krv320Tgb g"                                    \
  " where t.TagPnr = $1 and t.TagTag < $2::timestamp"                 \
  " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1" \
  " order by t.TagTag desc"
#define PVK_PG_TAGPREV_PAGED "select " PVK_PG_TAG_COLS ", t.TagTag" PVK_PG_TAGPREV_REST " limit $3"
// A booking's point in time as its 14-digit text. A text of record concatenates with NULL
// standing for an empty text and yields NULL for an empty result; nullif(concat()) does both.
#define PVK_PG_BCH_POINT \
  "nullif(concat(to_char(b.BchVon,'YYYYMMDD'), to_char(b.BchUhr,'HH24MISS')),'') COLLATE \"C\""
// Pg_Counted's TagPrev: the paged form with BchCountTagMld's and BchCountStdMld's counts per day.
#define PVK_PG_DAY(c) "t." c "::date::timestamp"
inline constexpr const char kPgTagPrevCounted[] =
    "select " PVK_PG_TAG_COLS ", n.tag_n, n.std_n, t.TagTag from Krv327Tag t join Krv320Tgb g"
    " on g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1 cross join lateral (select"
    " count(*) filter (where b.BchVon = " PVK_PG_DAY("TagTag") " and b.BchFkt = 1) as tag_n,"
    " count(*) filter (where b.BchVon >= coalesce(" PVK_PG_DAY("TagVon") ", '-infinity')"
    " and b.BchVon < coalesce(" PVK_PG_DAY("TagBis") " + interval '1 day', 'infinity')"
    " and b.BchFkt in (21, 22, 23, 24, 25, 29, 30, 0) and " PVK_PG_BCH_POINT
    " >= nullif(concat(to_char(t.TagVon,'YYYYMMDD'), to_char(t.TagUhr,'HH24MISS')),'') and "
    PVK_PG_BCH_POINT " <= nullif(concat(to_char(t.TagBis,'YYYYMMDD'), to_char(t.TagEnd,"
    "'HH24MISS')),'')) as std_n from Krv321Bch b where b.BchPnr = t.TagPnr and b.BchVon >= least("
    PVK_PG_DAY("TagTag") ", coalesce(" PVK_PG_DAY("TagVon") ", '-infinity')) and b.BchVon <= "
    "greatest(" PVK_PG_DAY("TagTag") ", coalesce(" PVK_PG_DAY("TagBis") " + interval '1 day',"
    " 'infinity'))) n where t.TagPnr = $1 and t.TagTag < $2::timestamp order by t.TagTag desc"
    " limit $3";

inline constexpr OpInfo kOps[] = {
    // Placeholder day records of the accounting day (the database's yesterday).
    {Op::TagYday, "TagYday", "TagYday", OpKind::Cursor, "", kTagOut, nullptr,
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((((Tag"
     "Tag=(trunc(sysdate)-1) and TO_CHAR(TagVon,'yyyymmdd')=TO_CHAR(TagBis,'yyyymmdd')) an"
     "d TO_CHAR(TagUhr,'HH24MISS')=TO_CHAR(TagEnd,'HH24MISS')) and TO_CHAR(TagUhr,'HH24MIS"
     "S')='120000') and TgbPnr=TagPnr) and TgbDtm=TagTag) and TgbZtr=1)           ",
     // SQLite: trunc(sysdate)-1 is the machine's local yesterday at midnight.
     "select " PVK_SQ_TAG_COLS " from Krv327Tag, Krv320Tgb"
     " where TagTag = date('now','localtime','-1 day')||' 00:00:00'"
     " and " PVK_SQ_D8("TagVon") " = " PVK_SQ_D8("TagBis")
     " and " PVK_SQ_T6("TagUhr") " = " PVK_SQ_T6("TagEnd")
     " and " PVK_SQ_T6("TagUhr") " = '120000'"
     " and TgbPnr = TagPnr and TgbDtm = TagTag and TgbZtr = 1",
     // PostgreSQL: placeholder day records of the server's yesterday with a TgbZtr 1 row.
     "select " PVK_PG_TAG_COLS " from Krv327Tag t, Krv320Tgb g"
     " where t.TagTag = (current_date - 1)::timestamp"
     " and to_char(t.TagVon,'YYYYMMDD') = to_char(t.TagBis,'YYYYMMDD')"
     " and to_char(t.TagUhr,'HH24MISS') = to_char(t.TagEnd,'HH24MISS')"
     " and to_char(t.TagUhr,'HH24MISS') = '120000'"
     " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1",
     0},
    // The same with the day bound: the form of the yesterday cursor for a given day, written in
    // the style of the texts of record (the reference database has no such statement).
    {Op::TagYdayAt, "TagYdayAt", "TagYday_OpenAt", OpKind::Cursor, "D", kTagOut, nullptr,
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((((Tag"
     "Tag=TO_DATE(:b0,'yyyymmdd') and TO_CHAR(TagVon,'yyyymmdd')=TO_CHAR(TagBis,'yyyymmdd')) an"
     "d TO_CHAR(TagUhr,'HH24MISS')=TO_CHAR(TagEnd,'HH24MISS')) and TO_CHAR(TagUhr,'HH24MIS"
     "S')='120000') and TgbPnr=TagPnr) and TgbDtm=TagTag) and TgbZtr=1)           ",
     // SQLite: the same for the day bound.
     "select " PVK_SQ_TAG_COLS " from Krv327Tag, Krv320Tgb"
     " where TagTag = ?1"
     " and " PVK_SQ_D8("TagVon") " = " PVK_SQ_D8("TagBis")
     " and " PVK_SQ_T6("TagUhr") " = " PVK_SQ_T6("TagEnd")
     " and " PVK_SQ_T6("TagUhr") " = '120000'"
     " and TgbPnr = TagPnr and TgbDtm = TagTag and TgbZtr = 1",
     // PostgreSQL: the same for the day bound.
     "select " PVK_PG_TAG_COLS " from Krv327Tag t, Krv320Tgb g"
     " where t.TagTag = $1::timestamp"
     " and to_char(t.TagVon,'YYYYMMDD') = to_char(t.TagBis,'YYYYMMDD')"
     " and to_char(t.TagUhr,'HH24MISS') = to_char(t.TagEnd,'HH24MISS')"
     " and to_char(t.TagUhr,'HH24MISS') = '120000'"
     " and g.TgbPnr = t.TagPnr and g.TgbDtm = t.TagTag and g.TgbZtr = 1",
     0},
    // The person's day records strictly before the day, newest first.
    {Op::TagPrev, "TagPrev", "TagPrev", OpKind::Cursor, "TD", kTagOut, nullptr,
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((TagPn"
     "r=:b0 and TagTag<To_Date(:b1,'yyyymmdd')) and TgbPnr=TagPnr) and TgbDtm=TagTag) and "
     "TgbZtr=1) order by TagTag desc             ",
     "select " PVK_SQ_TAG_COLS PVK_SQ_TAGPREV_REST,
     // PostgreSQL: the person's earlier day records with a TgbZtr 1 row, newest first.
     "select " PVK_PG_TAG_COLS PVK_PG_TAGPREV_REST, 0,
     PVK_SQ_TAGPREV_PAGED, PVK_PG_TAGPREV_PAGED},
    // Day-message bookings (BchFkt 1, 2, 3) of the person on the day.
    {Op::BchTagMld, "BchTagMld", "BchVortag/BchAbrTag", OpKind::Cursor, "TD", kBchOut, nullptr,
     "select BchPnr ,TO_CHAR(BchVon,'yyyymmdd') ,TO_CHAR(BchUhr,'HH24MISS') ,BchFkt ,TO_CH"
     "AR(BchBis,'yyyymmdd') ,TO_CHAR(BchVws,'HH24MISS') ,BchFcd ,BchZwt ,BchAbt ,BchKst ,B"
     "chKtr ,BchKrt ,BchAzt ,BchVra ,BchTxt ,BchSta ,BchErf ,BchTrm  from Krv321Bch where "
     "((BchPnr=:b0 and TO_Date(BchVon)=TO_Date(:b1,'yyyymmdd')) and ((BchFkt=1 or BchFkt=2"
     ") or BchFkt=3))           ",
     // SQLite: the calendar day; equalities, as an IN list builds a temporary table per run.
     "select " PVK_SQ_BCH_COLS " from Krv321Bch"
     " where BchPnr = ?1 and BchVon >= substr(?2,1,10) and BchVon < substr(?2,1,10)||'~'"
     " and (BchFkt = 1 or BchFkt = 2 or BchFkt = 3)",
     // PostgreSQL: the person's day messages on the calendar day $2.
     "select " PVK_PG_BCH_COLS " from Krv321Bch b"
     " where b.BchPnr = $1"
     " and b.BchVon >= $2::timestamp and b.BchVon < $2::timestamp + interval '1 day'"
     " and b.BchFkt in (1, 2, 3)",
     0},
    // Bookings inside the stored time frame of the person's day, newest first.
    {Op::BchStdMld, "BchStdMld", "BchStdMld", OpKind::Cursor, "TD", kBchOut, nullptr,
     "select BchPnr ,TO_CHAR(BchVon,'yyyymmdd') ,TO_CHAR(BchUhr,'HH24MISS') ,BchFkt ,TO_CH"
     "AR(BchBis,'yyyymmdd') ,TO_CHAR(BchVws,'HH24MISS') ,BchFcd ,BchZwt ,BchAbt ,BchKst ,B"
     "chKtr ,BchKrt ,BchAzt ,BchVra ,BchTxt ,BchSta ,BchErf ,BchTrm  from Krv321Bch ,Krv32"
     "7Tag where ((((((TagPnr=:b0 and TagPnr=BchPnr) and TagTag=TO_Date(:b1,'yyyymmdd')) a"
     "nd concat(TO_CHAR(BchVon,'yyyymmdd'),TO_CHAR(BchUhr,'HH24MISS'))>=concat(TO_CHAR(Tag"
     "Von,'yyyymmdd'),TO_CHAR(TagUhr,'HH24MISS'))) and concat(TO_CHAR(BchVon,'yyyymmdd'),T"
     "O_CHAR(BchUhr,'HH24MISS'))<=concat(TO_CHAR(TagBis,'yyyymmdd'),TO_CHAR(TagEnd,'HH24MI"
     "SS'))) and BchFkt<>45) and BchFkt<>29) order by TO_CHAR(BchVon,'yyyymmdd') desc ,TO_"
     "CHAR(BchUhr,'HH24MISS') desc             ",
     // SQLite: the frame as stored in the person's day record for the day.
     "select " PVK_SQ_BCH_COLS " from Krv327Tag, Krv321Bch"
     " where TagPnr = ?1 and TagTag = ?2 and BchPnr = TagPnr"
     // A NULL TagVon or TagBis leaves that side of the range open, as the exact test below
     // may still admit bookings then.
     " and BchVon >= ifnull(substr(TagVon,1,10),'') and BchVon < "
     "ifnull(substr(TagBis,1,10)||'~','~')"
     " and " PVK_SQ_P14("BchVon", "BchUhr") " >= " PVK_SQ_P14("TagVon", "TagUhr")
     " and " PVK_SQ_P14("BchVon", "BchUhr") " <= " PVK_SQ_P14("TagBis", "TagEnd")
     " and BchFkt <> 45 and BchFkt <> 29"
     " order by " PVK_SQ_D8("BchVon") " desc, " PVK_SQ_T6("BchUhr") " desc",
     // PostgreSQL: bookings inside the stored time frame of the person's day $2, newest first.
     // The range on BchVon is implied by the text comparison and lets the key index bound it.
     "select " PVK_PG_BCH_COLS " from Krv327Tag t join Krv321Bch b on b.BchPnr = t.TagPnr"
     " where t.TagPnr = $1 and t.TagTag = $2::timestamp"
     " and b.BchVon >= coalesce(date_trunc('day', t.TagVon), '-infinity')"
     " and b.BchVon < coalesce(date_trunc('day', t.TagBis) + interval '1 day', 'infinity')"
     " and " PVK_PG_BCH_POINT
     " >= nullif(concat(to_char(t.TagVon,'YYYYMMDD'), to_char(t.TagUhr,'HH24MISS')),'')"
     " and " PVK_PG_BCH_POINT
     " <= nullif(concat(to_char(t.TagBis,'YYYYMMDD'), to_char(t.TagEnd,'HH24MISS')),'')"
     " and b.BchFkt <> 45 and b.BchFkt <> 29"
     " order by to_char(b.BchVon,'YYYYMMDD') COLLATE \"C\" desc,"
     " to_char(b.BchUhr,'HH24MISS') COLLATE \"C\" desc",
     0},
    // Follow-up code of a message type with FcdSta below 4.
    {Op::FcdReadFlg, "FcdReadFlg", "Fcd_ReadFlg", OpKind::Select, "T", "T", nullptr,
     "select FcdFlg into :b0:b1  from Krv131Fcd where (FcdNum=:b2 and FcdSta<4)",
     "select FcdFlg from Krv131Fcd where FcdNum = ?1 and FcdSta < 4",
     "select FcdFlg from Krv131Fcd where FcdNum = $1 and FcdSta < 4 limit 2", 0},
    // The message type, whatever its status; NULL FcdPri/FcdGpu read 0, FcdFcd -9.
    {Op::FcdRead, "FcdRead", "Fcd_Read", OpKind::Select, "T", "TIIIIIIIT", nullptr,
     "select FcdNum ,FcdTyp ,FcdZwt ,FcdStd ,FcdSol ,NVL(FcdPri,0) ,NVL(FcdGpu,0) ,NVL(Fcd"
     "Fcd,(-9)) ,FcdFlg into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,:b14:b15"
     ",:b16:b17  from Krv131Fcd where FcdNum=:b0",
     "select FcdNum,FcdTyp,FcdZwt,FcdStd,FcdSol,ifnull(FcdPri,0),ifnull(FcdGpu,0),"
     "ifnull(FcdFcd,-9),FcdFlg from Krv131Fcd where FcdNum = ?1",
     "select FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, coalesce(FcdPri, 0), coalesce(FcdGpu, 0),"
     " coalesce(FcdFcd, -9), FcdFlg from Krv131Fcd where FcdNum = $1 limit 2",
     0},
    // The working-time plan assigned to the person on the day.
    {Op::AzvRead, "AzvRead", "Azv_Read", OpKind::Select, "TD", "TDIIIIII", nullptr,
     "select AzvNum ,TO_CHAR(ZtgVon,'yyyymmdd') ,AzvSol ,AzvSo2 ,AzvVhs ,AzvHso ,AzvHs2 ,A"
     "zvHtv into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,:b14:b15  from Krv32"
     "9Ztg ,Krv140Azv where ((((((ZtgPnr=:b16 and ZtgVon=TO_Date(:b17,'yyyymmdd')) and Ztg"
     "Azt=AzvNum) and ZtgVon>=AzvGvo) and (ZtgVon<=AzvGbi or AzvGbi is null )) and ZtgSta<"
     "4) and AzvSta<4)",
     // SQLite: AzvGbi NULL is open-ended.
     "select AzvNum,ZtgVon,AzvSol,AzvSo2,AzvVhs,AzvHso,AzvHs2,AzvHtv"
     " from Krv329Ztg, Krv140Azv"
     " where ZtgPnr = ?1 and ZtgVon = ?2 and ZtgAzt = AzvNum and ZtgVon >= AzvGvo"
     " and (ZtgVon <= AzvGbi or AzvGbi is null) and ZtgSta < 4 and AzvSta < 4",
     "select a.AzvNum, to_char(z.ZtgVon,'YYYYMMDD'), a.AzvSol, a.AzvSo2, a.AzvVhs, a.AzvHso,"
     " a.AzvHs2, a.AzvHtv"
     " from Krv329Ztg z, Krv140Azv a"
     " where z.ZtgPnr = $1 and z.ZtgVon = $2::timestamp and z.ZtgAzt = a.AzvNum"
     " and z.ZtgVon >= a.AzvGvo and (z.ZtgVon <= a.AzvGbi or a.AzvGbi is null)"
     " and z.ZtgSta < 4 and a.AzvSta < 4 limit 2",
     0},
    // Bookings with BchFkt 1 whose BchVon is the day at midnight.
    {Op::BchCountTagMld, "BchCountTagMld", "Bch_CountTagMld", OpKind::Select, "TD", "I", nullptr,
     "select count(*)  into :b0:b1  from Krv321Bch where ((BchPnr=:b2 and BchVon=TO_Date(:"
     "b3,'yyyymmdd')) and BchFkt=1)",
     // SQLite: BchVon compared as stored, with the day at midnight.
     "select count(*) from Krv321Bch where BchPnr = ?1 and BchVon = ?2 and BchFkt = 1",
     // PostgreSQL: BchVon compared as stored, with the day at midnight.
     "select count(*) from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp and BchFkt = 1",
     0},
    // Hour-message bookings between two 14-digit points in time, both included.
    {Op::BchCountStdMld, "BchCountStdMld", "Bch_CountStdMld", OpKind::Select, "TTT", "I", nullptr,
     "select count(*)  into :b0:b1  from Krv321Bch where (((BchPnr=:b2 and CONCAT(TO_CHAR("
     "BchVon,'yyyymmdd'),TO_CHAR(BchUhr,'HH24MISS'))>=:b3) and CONCAT(TO_CHAR(BchVon,'yyyy"
     "mmdd'),TO_CHAR(BchUhr,'HH24MISS'))<=:b4) and (((((((BchFkt=21 or BchFkt=22) or BchFk"
     "t=23) or BchFkt=24) or BchFkt=25) or BchFkt=29) or BchFkt=30) or BchFkt=0))",
     // SQLite: the frame passed in, bounds included, BchFkt 29 counted; equalities (above).
     "select count(*) from Krv321Bch where BchPnr = ?1"
     " and BchVon >= " PVK_SQ_DAY_OF("?2") " and BchVon < " PVK_SQ_DAY_OF("?3") "||'~'"
     " and " PVK_SQ_P14("BchVon", "BchUhr") " >= ?2"
     " and " PVK_SQ_P14("BchVon", "BchUhr") " <= ?3"
     " and (BchFkt = 21 or BchFkt = 22 or BchFkt = 23 or BchFkt = 24 or BchFkt = 25"
     " or BchFkt = 29 or BchFkt = 30 or BchFkt = 0)",
     // PostgreSQL: bookings between two 14-digit bounds passed in, both included.
     "select count(*) from Krv321Bch b"
     " where b.BchPnr = $1"
     " and b.BchVon >= coalesce($4::timestamp, '-infinity')"
     " and b.BchVon < coalesce($5::timestamp + interval '1 day', 'infinity')"
     " and " PVK_PG_BCH_POINT " >= $2::text and " PVK_PG_BCH_POINT " <= $3::text"
     " and b.BchFkt in (21, 22, 23, 24, 25, 29, 30, 0)",
     2},
    // The three code/value pairs of the person's day record.
    {Op::TagUpdate, "TagUpdate", "Tag_Update", OpKind::UpdateOrDelete, "TITITITD", "",
     "Tag_PKey_Upd_Sp",
     "update KRV327Tag  set TagTgb=:b0:b1,TagTgs=:b2:b3,TagHtv=:b4:b5,TagHvs=:b6:b7,TagHtn"
     "=:b8:b9,TagHns=:b10:b11 where (TagPnr=:b12 and TagTag=TO_DATE(:b13,'yyyymmdd'))",
     "update Krv327Tag set TagTgb = ?1, TagTgs = ?2, TagHtv = ?3, TagHvs = ?4, TagHtn = ?5,"
     " TagHns = ?6 where TagPnr = ?7 and TagTag = ?8",
     "update Krv327Tag set TagTgb = $1, TagTgs = $2, TagHtv = $3, TagHvs = $4, TagHtn = $5,"
     " TagHns = $6 where TagPnr = $7 and TagTag = $8::timestamp",
     0},
    // New function of a booking; BchDat becomes now, BchErf 'Korvant'.
    {Op::BchUpdFkt, "BchUpdFkt", "Bch_UpdFkt", OpKind::UpdateOrDelete, "ITDTI", "", "Bch_UpdFkt_Sp",
     "update KRV321Bch  set BchFkt=:b0:b1,BchDat=sysdate,BchErf='Korvant' where (((BchPnr="
     ":b2 and BchVon=TO_DATE(:b3,'yyyymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b4) and BchF"
     "kt=:b5)",
     // SQLite: sysdate is the machine's local date and time.
     "update Krv321Bch set BchFkt = ?1, BchDat = datetime('now','localtime'),"
     " BchErf = 'Korvant'"
     " where BchPnr = ?2 and BchVon = ?3 and " PVK_SQ_T6("BchUhr") " = ?4 and BchFkt = ?5",
     // PostgreSQL: BchDat becomes the server's date and time, to the second.
     "update Krv321Bch set BchFkt = $1,"
     " BchDat = date_trunc('second', statement_timestamp()::timestamp), BchErf = 'Korvant'"
     " where BchPnr = $2 and BchVon = $3::timestamp and to_char(BchUhr,'HH24MISS') = $4"
     " and BchFkt = $5",
     0},
    // Deletes a booking.
    {Op::BchDelFkt, "BchDelFkt", "Bch_DelFkt", OpKind::UpdateOrDelete, "TDTI", "", "Bch_DelFkt_Sp",
     "delete  from KRV321Bch  where (((BchPnr=:b0 and BchVon=TO_DATE(:b1,'yyyymmdd')) and "
     "TO_CHAR(BchUhr,'HH24MISS')=:b2) and BchFkt=:b3)",
     "delete from Krv321Bch"
     " where BchPnr = ?1 and BchVon = ?2 and " PVK_SQ_T6("BchUhr") " = ?3 and BchFkt = ?4",
     "delete from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp"
     " and to_char(BchUhr,'HH24MISS') = $3 and BchFkt = $4",
     0},
    // A booking on the date at the point in time, with function and code.
    {Op::BchInsert, "BchInsert", "Bch_Insert", OpKind::Insert, "TDPIT", "", "Bch_PKey_Ins_Sp",
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd) values (:b0:b1,TO_Date(:b"
     "2:b3,'yyyymmdd'),TO_Date(:b4:b5,'yyyymmddHH24MISS'),:b6:b7,:b8:b9)",
     // SQLite: BchVon the date at midnight, BchUhr the full point in time.
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd) values (?1,?2,?3,?4,?5)",
     "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd)"
     " values ($1, $2::timestamp, $3::timestamp, $4, $5)",
     0},
    // The code of the booking that Bch_UpdFkt and Bch_DelFkt name by the same key. The job never
    // runs it; its preview reads a booking's code with it before the night changes the booking.
    {Op::BchReadFcd, "BchReadFcd", "parvekctl night --preview", OpKind::Select, "TDTI", "T",
     nullptr,
     "select BchFcd into :b0:b1  from KRV321Bch where (((BchPnr=:b2 and BchVon=TO_DATE(:b3,'yyy"
     "ymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b4) and BchFkt=:b5)",
     // SQLite: the key of BchDelFkt.
     "select BchFcd from Krv321Bch"
     " where BchPnr = ?1 and BchVon = ?2 and " PVK_SQ_T6("BchUhr") " = ?3 and BchFkt = ?4",
     // PostgreSQL: the key of BchDelFkt.
     "select BchFcd from Krv321Bch where BchPnr = $1 and BchVon = $2::timestamp"
     " and to_char(BchUhr,'HH24MISS') = $3 and BchFkt = $4",
     0},
    // The database's date (sysdate), against which a catch-up's day is checked.
    {Op::Today, "Today", "Db_Today", OpKind::Select, "", "D", nullptr,
     "select TO_CHAR(sysdate,'yyyymmdd') into :b0:b1  from dual",
     // SQLite: sysdate is the machine's local date.
     "select date('now','localtime')||' 00:00:00'",
     // PostgreSQL: the server's date.
     "select to_char(current_date,'YYYYMMDD')", 0},
    // The statements below are the companion tool's (the journal of a night and its undo),
    // written in the style of the texts of record; the job never runs them. Points in time
    // are read and written as 14-digit texts, so that a row goes back to the second.
    // One booking whole, by the key of BchDelFkt.
    {Op::BchReadRow, "BchReadRow", "parvekctl night --journal, undo", OpKind::Select, "TDTI",
     kBchRowOut, nullptr,
     "select BchPnr ,TO_CHAR(BchVon,'yyyymmddHH24MISS') ,TO_CHAR(BchUhr,'yyyymmddHH24MISS') ,Bc"
     "hFkt ,TO_CHAR(BchBis,'yyyymmddHH24MISS') ,TO_CHAR(BchVws,'yyyymmddHH24MISS') ,BchFcd ,Bch"
     "Zwt ,BchAbt ,BchKst ,BchKtr ,BchKrt ,BchAzt ,BchVra ,BchTxt ,BchSta ,BchErf ,BchTrm ,TO_C"
     "HAR(BchDat,'yyyymmddHH24MISS')  from KRV321Bch where (((BchPnr=:b0 and BchVon=TO_DATE(:b1"
     ",'yyyymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b2) and BchFkt=:b3)",
     // SQLite: every date as its 14-digit text (NULL stays NULL).
     "select BchPnr," PVK_SQ_D8("BchVon") "||" PVK_SQ_T6("BchVon") ","
     PVK_SQ_D8("BchUhr") "||" PVK_SQ_T6("BchUhr") ",BchFkt,"
     PVK_SQ_D8("BchBis") "||" PVK_SQ_T6("BchBis") ","
     PVK_SQ_D8("BchVws") "||" PVK_SQ_T6("BchVws") ",BchFcd,BchZwt,BchAbt,"
     "BchKst,BchKtr,BchKrt,BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm,"
     PVK_SQ_D8("BchDat") "||" PVK_SQ_T6("BchDat") " from Krv321Bch"
     " where BchPnr = ?1 and BchVon = ?2 and " PVK_SQ_T6("BchUhr") " = ?3 and BchFkt = ?4",
     // PostgreSQL: every date as its 14-digit text (NULL stays NULL).
     "select BchPnr, to_char(BchVon,'YYYYMMDDHH24MISS'), to_char(BchUhr,'YYYYMMDDHH24MISS'),"
     " BchFkt, to_char(BchBis,'YYYYMMDDHH24MISS'), to_char(BchVws,'YYYYMMDDHH24MISS'), BchFcd,"
     " BchZwt, BchAbt, BchKst, BchKtr, BchKrt, BchAzt, BchVra, BchTxt, BchSta, BchErf, BchTrm,"
     " to_char(BchDat,'YYYYMMDDHH24MISS') from Krv321Bch where BchPnr = $1"
     " and BchVon = $2::timestamp and to_char(BchUhr,'HH24MISS') = $3 and BchFkt = $4",
     0},
    // A booking with every column (a deleted one put back).
    {Op::BchInsertRow, "BchInsertRow", "parvekctl undo", OpKind::Insert, "TPPIPPTNTTTTTTNNTTP",
     "", "Bch_Row_Ins_Sp",
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchBis,BchVws,BchFcd,BchZwt,BchAbt,B"
     "chKst,BchKtr,BchKrt,BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm,BchDat) values (:b0,TO_Dat"
     "e(:b1,'yyyymmddHH24MISS'),TO_Date(:b2,'yyyymmddHH24MISS'),:b3,TO_Date(:b4,'yyyymmddHH24M"
     "ISS'),TO_Date(:b5,'yyyymmddHH24MISS'),:b6,TO_NUMBER(:b7),:b8,:b9,:b10,:b11,:b12,:b13,TO_"
     "NUMBER(:b14),TO_NUMBER(:b15),:b16,:b17,TO_Date(:b18,'yyyymmddHH24MISS'))",
     // SQLite: the integers given as texts become integers again.
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchBis,BchVws,BchFcd,BchZwt,BchAbt,"
     "BchKst,BchKtr,BchKrt,BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm,BchDat) values (?1,?2,?3,"
     "?4,?5,?6,?7,cast(?8 as integer),?9,?10,?11,?12,?13,?14,cast(?15 as integer),"
     "cast(?16 as integer),?17,?18,?19)",
     "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchBis, BchVws, BchFcd, BchZwt,"
     " BchAbt, BchKst, BchKtr, BchKrt, BchAzt, BchVra, BchTxt, BchSta, BchErf, BchTrm, BchDat)"
     " values ($1, $2::timestamp, $3::timestamp, $4, $5::timestamp, $6::timestamp, $7,"
     " $8::integer, $9, $10, $11, $12, $13, $14, $15::integer, $16::integer, $17, $18,"
     " $19::timestamp)",
     0},
    // A booking's function with the BchDat and BchErf given (a cancellation taken back).
    {Op::BchSetFkt, "BchSetFkt", "parvekctl undo", OpKind::UpdateOrDelete, "IPTTDTI", "",
     "Bch_SetFkt_Sp",
     "update KRV321Bch  set BchFkt=:b0,BchDat=TO_DATE(:b1,'yyyymmddHH24MISS'),BchErf=:b2 where"
     " (((BchPnr=:b3 and BchVon=TO_DATE(:b4,'yyyymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b5) a"
     "nd BchFkt=:b6)",
     "update Krv321Bch set BchFkt = ?1, BchDat = ?2, BchErf = ?3"
     " where BchPnr = ?4 and BchVon = ?5 and " PVK_SQ_T6("BchUhr") " = ?6 and BchFkt = ?7",
     "update Krv321Bch set BchFkt = $1, BchDat = $2::timestamp, BchErf = $3"
     " where BchPnr = $4 and BchVon = $5::timestamp and to_char(BchUhr,'HH24MISS') = $6"
     " and BchFkt = $7",
     0},
    // The three code/value pairs of one day record.
    {Op::TagReadPairs, "TagReadPairs", "parvekctl night --journal, undo", OpKind::Select, "TD",
     "TITITI", nullptr,
     "select TagTgb ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from KRV327Tag where (TagPnr=:b0 "
     "and TagTag=TO_DATE(:b1,'yyyymmdd'))",
     "select TagTgb,TagTgs,TagHtv,TagHvs,TagHtn,TagHns from Krv327Tag"
     " where TagPnr = ?1 and TagTag = ?2",
     "select TagTgb, TagTgs, TagHtv, TagHvs, TagHtn, TagHns from Krv327Tag"
     " where TagPnr = $1 and TagTag = $2::timestamp",
     0},
    // The three pairs written back as they were, NULLs included.
    {Op::TagRestore, "TagRestore", "parvekctl undo", OpKind::UpdateOrDelete, "TNTNTNTD", "",
     "Tag_Restore_Sp",
     "update KRV327Tag  set TagTgb=:b0,TagTgs=TO_NUMBER(:b1),TagHtv=:b2,TagHvs=TO_NUMBER(:b3),T"
     "agHtn=:b4,TagHns=TO_NUMBER(:b5) where (TagPnr=:b6 and TagTag=TO_DATE(:b7,'yyyymmdd'))",
     "update Krv327Tag set TagTgb = ?1, TagTgs = cast(?2 as integer), TagHtv = ?3,"
     " TagHvs = cast(?4 as integer), TagHtn = ?5, TagHns = cast(?6 as integer)"
     " where TagPnr = ?7 and TagTag = ?8",
     "update Krv327Tag set TagTgb = $1, TagTgs = $2::integer, TagHtv = $3, TagHvs = $4::integer,"
     " TagHtn = $5, TagHns = $6::integer where TagPnr = $7 and TagTag = $8::timestamp",
     0},
    // The database's own name for itself, its engine first (run/ground/DatabaseIdentity.h).
    {Op::DbIdentity, "DbIdentity", "parvekctl", OpKind::Select, "", "T", nullptr,
     "select 'oracle:'||SYS_CONTEXT('USERENV','DB_UNIQUE_NAME') into :b0:b1  from dual",
     // SQLite: the schema's file, which the identity turns into its device and inode.
     "select 'file:'||file from pragma_database_list where name = 'main'",
     // PostgreSQL: the cluster's system identifier and the database.
     "select 'postgresql:'||system_identifier||':'||current_database() from pg_control_system()",
     0},
};
#undef PVK_SQ_D8
#undef PVK_SQ_T6
#undef PVK_SQ_P14
#undef PVK_SQ_DAY_OF
#undef PVK_SQ_TAG_COLS
#undef PVK_SQ_BCH_COLS
#undef PVK_SQ_TAGPREV_REST
#undef PVK_SQ_TAGPREV_PAGED
#undef PVK_PG_TAG_COLS
#undef PVK_PG_BCH_COLS
#undef PVK_PG_TAGPREV_REST
#undef PVK_PG_TAGPREV_PAGED
#undef PVK_PG_DAY
#undef PVK_PG_BCH_POINT

}  // namespace pvc

// The statements' count and kinds, and the names of every statement's inputs and outputs.
#include "client/core/statement_names.h"  // IWYU pragma: export
