// The job's statements, described once: every backend, the statement module, the counters and
// the tools derive what they need from this table.
//
// Per statement: its name, its kind, the kinds of its inputs in binding order, the kinds of its
// outputs in select-list order, the savepoint of a write, and the text of record: the statement as
// the job's reference database runs it, in embedded-SQL form (an INTO list names the outputs of a
// single-row select; ":b0:b1" is a value bound with its indicator), trailing and double blanks
// included. Each backend holds only its own text per statement, with its placeholders in the
// binding order given here.
//
// To add a statement: add its Op, its row here and in kOpNames, its text in every backend's
// table, and its operation in db/parveksql.
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
  const char* text;       // the text of record
};

// The booking cursors deliver one person's bookings of one day or of one day's time frame: a
// handful of rows, which a backend may read whole at the open on the connection it writes on.
constexpr bool Op_FewRows(Op op) { return op == Op::BchTagMld || op == Op::BchStdMld; }

inline constexpr const char kTagOut[] = "TDDHDHITITITI";       // TagSatz, 13 columns
inline constexpr const char kBchOut[] = "TDHIDHTITTTTTTIITT";  // BchSatz, 18 columns
// A whole booking: BchSatz's columns with every date as a 14-digit text, then BchDat.
inline constexpr const char kBchRowOut[] = "TTTITTTITTTTTTIITTT";

inline constexpr OpInfo kOps[] = {
    // Placeholder day records of the accounting day (the database's yesterday).
    {Op::TagYday, "TagYday", "TagYday", OpKind::Cursor, "", kTagOut, nullptr,
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((((Tag"
     "Tag=(trunc(sysdate)-1) and TO_CHAR(TagVon,'yyyymmdd')=TO_CHAR(TagBis,'yyyymmdd')) an"
     "d TO_CHAR(TagUhr,'HH24MISS')=TO_CHAR(TagEnd,'HH24MISS')) and TO_CHAR(TagUhr,'HH24MIS"
     "S')='120000') and TgbPnr=TagPnr) and TgbDtm=TagTag) and TgbZtr=1)           "},
    // The same with the day bound: the form of the yesterday cursor for a given day, written in
    // the style of the texts of record (the reference database has no such statement).
    {Op::TagYdayAt, "TagYdayAt", "TagYday_OpenAt", OpKind::Cursor, "D", kTagOut, nullptr,
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((((Tag"
     "Tag=TO_DATE(:b0,'yyyymmdd') and TO_CHAR(TagVon,'yyyymmdd')=TO_CHAR(TagBis,'yyyymmdd')) an"
     "d TO_CHAR(TagUhr,'HH24MISS')=TO_CHAR(TagEnd,'HH24MISS')) and TO_CHAR(TagUhr,'HH24MIS"
     "S')='120000') and TgbPnr=TagPnr) and TgbDtm=TagTag) and TgbZtr=1)           "},
    // The person's day records strictly before the day, newest first.
    {Op::TagPrev, "TagPrev", "TagPrev", OpKind::Cursor, "TD", kTagOut, nullptr,
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((TagPn"
     "r=:b0 and TagTag<To_Date(:b1,'yyyymmdd')) and TgbPnr=TagPnr) and TgbDtm=TagTag) and "
     "TgbZtr=1) order by TagTag desc             "},
    // Day-message bookings (BchFkt 1, 2, 3) of the person on the day.
    {Op::BchTagMld, "BchTagMld", "BchVortag/BchAbrTag", OpKind::Cursor, "TD", kBchOut, nullptr,
     "select BchPnr ,TO_CHAR(BchVon,'yyyymmdd') ,TO_CHAR(BchUhr,'HH24MISS') ,BchFkt ,TO_CH"
     "AR(BchBis,'yyyymmdd') ,TO_CHAR(BchVws,'HH24MISS') ,BchFcd ,BchZwt ,BchAbt ,BchKst ,B"
     "chKtr ,BchKrt ,BchAzt ,BchVra ,BchTxt ,BchSta ,BchErf ,BchTrm  from Krv321Bch where "
     "((BchPnr=:b0 and TO_Date(BchVon)=TO_Date(:b1,'yyyymmdd')) and ((BchFkt=1 or BchFkt=2"
     ") or BchFkt=3))           "},
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
     "CHAR(BchUhr,'HH24MISS') desc             "},
    // Follow-up code of a message type with FcdSta below 4.
    {Op::FcdReadFlg, "FcdReadFlg", "Fcd_ReadFlg", OpKind::Select, "T", "T", nullptr,
     "select FcdFlg into :b0:b1  from Krv131Fcd where (FcdNum=:b2 and FcdSta<4)"},
    // The message type, whatever its status; NULL FcdPri/FcdGpu read 0, FcdFcd -9.
    {Op::FcdRead, "FcdRead", "Fcd_Read", OpKind::Select, "T", "TIIIIIIIT", nullptr,
     "select FcdNum ,FcdTyp ,FcdZwt ,FcdStd ,FcdSol ,NVL(FcdPri,0) ,NVL(FcdGpu,0) ,NVL(Fcd"
     "Fcd,(-9)) ,FcdFlg into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,:b14:b15"
     ",:b16:b17  from Krv131Fcd where FcdNum=:b0"},
    // The working-time plan assigned to the person on the day.
    {Op::AzvRead, "AzvRead", "Azv_Read", OpKind::Select, "TD", "TDIIIIII", nullptr,
     "select AzvNum ,TO_CHAR(ZtgVon,'yyyymmdd') ,AzvSol ,AzvSo2 ,AzvVhs ,AzvHso ,AzvHs2 ,A"
     "zvHtv into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,:b14:b15  from Krv32"
     "9Ztg ,Krv140Azv where ((((((ZtgPnr=:b16 and ZtgVon=TO_Date(:b17,'yyyymmdd')) and Ztg"
     "Azt=AzvNum) and ZtgVon>=AzvGvo) and (ZtgVon<=AzvGbi or AzvGbi is null )) and ZtgSta<"
     "4) and AzvSta<4)"},
    // Bookings with BchFkt 1 whose BchVon is the day at midnight.
    {Op::BchCountTagMld, "BchCountTagMld", "Bch_CountTagMld", OpKind::Select, "TD", "I", nullptr,
     "select count(*)  into :b0:b1  from Krv321Bch where ((BchPnr=:b2 and BchVon=TO_Date(:"
     "b3,'yyyymmdd')) and BchFkt=1)"},
    // Hour-message bookings between two 14-digit points in time, both included.
    {Op::BchCountStdMld, "BchCountStdMld", "Bch_CountStdMld", OpKind::Select, "TTT", "I", nullptr,
     "select count(*)  into :b0:b1  from Krv321Bch where (((BchPnr=:b2 and CONCAT(TO_CHAR("
     "BchVon,'yyyymmdd'),TO_CHAR(BchUhr,'HH24MISS'))>=:b3) and CONCAT(TO_CHAR(BchVon,'yyyy"
     "mmdd'),TO_CHAR(BchUhr,'HH24MISS'))<=:b4) and (((((((BchFkt=21 or BchFkt=22) or BchFk"
     "t=23) or BchFkt=24) or BchFkt=25) or BchFkt=29) or BchFkt=30) or BchFkt=0))"},
    // The three code/value pairs of the person's day record.
    {Op::TagUpdate, "TagUpdate", "Tag_Update", OpKind::UpdateOrDelete, "TITITITD", "",
     "Tag_PKey_Upd_Sp",
     "update KRV327Tag  set TagTgb=:b0:b1,TagTgs=:b2:b3,TagHtv=:b4:b5,TagHvs=:b6:b7,TagHtn"
     "=:b8:b9,TagHns=:b10:b11 where (TagPnr=:b12 and TagTag=TO_DATE(:b13,'yyyymmdd'))"},
    // New function of a booking; BchDat becomes now, BchErf 'Korvant'.
    {Op::BchUpdFkt, "BchUpdFkt", "Bch_UpdFkt", OpKind::UpdateOrDelete, "ITDTI", "", "Bch_UpdFkt_Sp",
     "update KRV321Bch  set BchFkt=:b0:b1,BchDat=sysdate,BchErf='Korvant' where (((BchPnr="
     ":b2 and BchVon=TO_DATE(:b3,'yyyymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b4) and BchF"
     "kt=:b5)"},
    // Deletes a booking.
    {Op::BchDelFkt, "BchDelFkt", "Bch_DelFkt", OpKind::UpdateOrDelete, "TDTI", "", "Bch_DelFkt_Sp",
     "delete  from KRV321Bch  where (((BchPnr=:b0 and BchVon=TO_DATE(:b1,'yyyymmdd')) and "
     "TO_CHAR(BchUhr,'HH24MISS')=:b2) and BchFkt=:b3)"},
    // A booking on the date at the point in time, with function and code.
    {Op::BchInsert, "BchInsert", "Bch_Insert", OpKind::Insert, "TDPIT", "", "Bch_PKey_Ins_Sp",
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd) values (:b0:b1,TO_Date(:b"
     "2:b3,'yyyymmdd'),TO_Date(:b4:b5,'yyyymmddHH24MISS'),:b6:b7,:b8:b9)"},
    // The code of the booking that Bch_UpdFkt and Bch_DelFkt name by the same key. The job never
    // runs it; its preview reads a booking's code with it before the night changes the booking.
    {Op::BchReadFcd, "BchReadFcd", "parvekctl night --preview", OpKind::Select, "TDTI", "T",
     nullptr,
     "select BchFcd into :b0:b1  from KRV321Bch where (((BchPnr=:b2 and BchVon=TO_DATE(:b3,'yyy"
     "ymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b4) and BchFkt=:b5)"},
    // The database's date (sysdate), against which a catch-up's day is checked.
    {Op::Today, "Today", "Db_Today", OpKind::Select, "", "D", nullptr,
     "select TO_CHAR(sysdate,'yyyymmdd') into :b0:b1  from dual"},
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
     ",'yyyymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b2) and BchFkt=:b3)"},
    // A booking with every column (a deleted one put back).
    {Op::BchInsertRow, "BchInsertRow", "parvekctl undo", OpKind::Insert, "TPPIPPTNTTTTTTNNTTP",
     "", "Bch_Row_Ins_Sp",
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchBis,BchVws,BchFcd,BchZwt,BchAbt,B"
     "chKst,BchKtr,BchKrt,BchAzt,BchVra,BchTxt,BchSta,BchErf,BchTrm,BchDat) values (:b0,TO_Dat"
     "e(:b1,'yyyymmddHH24MISS'),TO_Date(:b2,'yyyymmddHH24MISS'),:b3,TO_Date(:b4,'yyyymmddHH24M"
     "ISS'),TO_Date(:b5,'yyyymmddHH24MISS'),:b6,TO_NUMBER(:b7),:b8,:b9,:b10,:b11,:b12,:b13,TO_"
     "NUMBER(:b14),TO_NUMBER(:b15),:b16,:b17,TO_Date(:b18,'yyyymmddHH24MISS'))"},
    // A booking's function with the BchDat and BchErf given (a cancellation taken back).
    {Op::BchSetFkt, "BchSetFkt", "parvekctl undo", OpKind::UpdateOrDelete, "IPTTDTI", "",
     "Bch_SetFkt_Sp",
     "update KRV321Bch  set BchFkt=:b0,BchDat=TO_DATE(:b1,'yyyymmddHH24MISS'),BchErf=:b2 where"
     " (((BchPnr=:b3 and BchVon=TO_DATE(:b4,'yyyymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b5) a"
     "nd BchFkt=:b6)"},
    // The three code/value pairs of one day record.
    {Op::TagReadPairs, "TagReadPairs", "parvekctl night --journal, undo", OpKind::Select, "TD",
     "TITITI", nullptr,
     "select TagTgb ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from KRV327Tag where (TagPnr=:b0 "
     "and TagTag=TO_DATE(:b1,'yyyymmdd'))"},
    // The three pairs written back as they were, NULLs included.
    {Op::TagRestore, "TagRestore", "parvekctl undo", OpKind::UpdateOrDelete, "TNTNTNTD", "",
     "Tag_Restore_Sp",
     "update KRV327Tag  set TagTgb=:b0,TagTgs=TO_NUMBER(:b1),TagHtv=:b2,TagHvs=TO_NUMBER(:b3),T"
     "agHtn=:b4,TagHns=TO_NUMBER(:b5) where (TagPnr=:b6 and TagTag=TO_DATE(:b7,'yyyymmdd'))"},
};

inline constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::kCount);
constexpr const OpInfo& Op_Info(Op op) { return kOps[static_cast<std::size_t>(op)]; }

// The name of every input (binding order) and every output (select-list order) of a statement,
// separated by single blanks: what a recording of the statements names a value by. Outputs are
// named after the column they read; inputs after the column they are compared with or written
// to, and a second value for the same column gets a suffix (BchFktNeu: the function a booking
// gets; BchFkt: the one that finds it).
struct OpNames {
  Op op;
  const char* in;
  const char* out;
};

inline constexpr const char kTagNames[] =
    "TagPnr TagTag TagVon TagUhr TagBis TagEnd TgbSol TagTgb TagTgs TagHtv TagHvs TagHtn TagHns";
inline constexpr const char kBchNames[] =
    "BchPnr BchVon BchUhr BchFkt BchBis BchVws BchFcd BchZwt BchAbt BchKst BchKtr BchKrt BchAzt "
    "BchVra BchTxt BchSta BchErf BchTrm";
inline constexpr const char kBchRowNames[] =
    "BchPnr BchVon BchUhr BchFkt BchBis BchVws BchFcd BchZwt BchAbt BchKst BchKtr BchKrt BchAzt "
    "BchVra BchTxt BchSta BchErf BchTrm BchDat";
#define PVK_TAG_PAIR_NAMES "TagTgb TagTgs TagHtv TagHvs TagHtn TagHns"

inline constexpr OpNames kOpNames[] = {
    {Op::TagYday, "", kTagNames},
    {Op::TagYdayAt, "TagTag", kTagNames},
    {Op::TagPrev, "TagPnr TagTag", kTagNames},
    {Op::BchTagMld, "BchPnr BchVon", kBchNames},
    {Op::BchStdMld, "TagPnr TagTag", kBchNames},
    {Op::FcdReadFlg, "FcdNum", "FcdFlg"},
    {Op::FcdRead, "FcdNum", "FcdNum FcdTyp FcdZwt FcdStd FcdSol FcdPri FcdGpu FcdFcd FcdFlg"},
    {Op::AzvRead, "ZtgPnr ZtgVon", "AzvNum ZtgVon AzvSol AzvSo2 AzvVhs AzvHso AzvHs2 AzvHtv"},
    {Op::BchCountTagMld, "BchPnr BchVon", "Anzahl"},
    {Op::BchCountStdMld, "BchPnr TagVonUhr TagBisEnd", "Anzahl"},
    {Op::TagUpdate, "TagTgb TagTgs TagHtv TagHvs TagHtn TagHns TagPnr TagTag", ""},
    {Op::BchUpdFkt, "BchFktNeu BchPnr BchVon BchUhr BchFkt", ""},
    {Op::BchDelFkt, "BchPnr BchVon BchUhr BchFkt", ""},
    {Op::BchInsert, "BchPnr BchVon BchUhr BchFkt BchFcd", ""},
    {Op::BchReadFcd, "BchPnr BchVon BchUhr BchFkt", "BchFcd"},
    {Op::Today, "", "Sysdate"},
    {Op::BchReadRow, "BchPnr BchVon BchUhr BchFkt", kBchRowNames},
    {Op::BchInsertRow, kBchRowNames, ""},
    {Op::BchSetFkt, "BchFktNeu BchDat BchErf BchPnr BchVon BchUhr BchFkt", ""},
    {Op::TagReadPairs, "TagPnr TagTag", PVK_TAG_PAIR_NAMES},
    {Op::TagRestore, PVK_TAG_PAIR_NAMES " TagPnr TagTag", ""},
};

// The number of blank-separated words in `names`.
constexpr std::size_t Op_NameCount(const char* names) {
  std::size_t n = 0;
  for (std::size_t i = 0; names[i] != '\0'; ++i)
    if (names[i] != ' ' && (i == 0 || names[i - 1] == ' ')) ++n;
  return n;
}

// The position of `name` among the blank-separated words of `names`; -1 when it is none of them.
constexpr int Op_NameIndex(const char* names, std::string_view name) {
  int index = 0;
  std::size_t i = 0;
  while (names[i] != '\0') {
    std::size_t end = i;
    while (names[end] != '\0' && names[end] != ' ') ++end;
    if (std::string_view(names + i, end - i) == name) return index;
    ++index;
    i = names[end] == ' ' ? end + 1 : end;
  }
  return -1;
}

// The position of the input or output `name` of `op`; -1 when `op` has none of that name.
constexpr int Op_InIndex(Op op, std::string_view name) {
  return Op_NameIndex(kOpNames[static_cast<std::size_t>(op)].in, name);
}
constexpr int Op_OutIndex(Op op, std::string_view name) {
  return Op_NameIndex(kOpNames[static_cast<std::size_t>(op)].out, name);
}

// A backend's own text of one statement.
struct BackendText {
  Op op;
  const char* text;
};

// True when `rows` holds one row per statement, in Op order: every backend's table of texts is
// checked this way at compile time.
template <typename T, std::size_t N>
constexpr bool Op_RowsInOrder(const T (&rows)[N]) {
  if (N != kOpCount) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (static_cast<std::size_t>(rows[i].op) != i) return false;
  return true;
}
static_assert(Op_RowsInOrder(kOps), "one row per statement, in Op order");
static_assert(Op_RowsInOrder(kOpNames), "names for every statement, in Op order");

constexpr bool Op_IsQuery(Op op) {
  return Op_Info(op).kind == OpKind::Cursor || Op_Info(op).kind == OpKind::Select;
}
constexpr bool Op_IsWrite(Op op) { return !Op_IsQuery(op); }

constexpr std::size_t Op_Width(const char* kinds) {
  std::size_t n = 0;
  while (kinds[n] != '\0') ++n;
  return n;
}

// True when every statement has exactly one name per input and per output.
constexpr bool Op_NamesFitKinds() {
  for (std::size_t i = 0; i < kOpCount; ++i)
    if (Op_NameCount(kOpNames[i].in) != Op_Width(kOps[i].in) ||
        Op_NameCount(kOpNames[i].out) != Op_Width(kOps[i].out))
      return false;
  return true;
}
static_assert(Op_NamesFitKinds(), "one name per input and per output of every statement");

}  // namespace pvc
