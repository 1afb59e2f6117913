// The companion tool's statements (client/core/tool_statements.h).
#include "client/core/tool_statements.h"

namespace pvc {

// ---- the schema's tables

namespace sqlite {

// A date column holds NULL or one text form, 'YYYY-MM-DD HH:MM:SS', of a real calendar date.
#define PVK_DATE_CHECK(c)                                                                   \
  " CHECK (" c " IS NULL OR (typeof(" c ") = 'text' AND " c                             \
  " GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'" \
  " AND datetime(" c ", '+0 days') IS " c "))"

const char* const kSchemaDdl =
    "CREATE TABLE Krv327Tag ("
    " TagPnr TEXT NOT NULL,"
    " TagTag TEXT NOT NULL" PVK_DATE_CHECK("TagTag") ","
    " TagVon TEXT" PVK_DATE_CHECK("TagVon") ","
    " TagUhr TEXT" PVK_DATE_CHECK("TagUhr") ","
    " TagBis TEXT" PVK_DATE_CHECK("TagBis") ","
    " TagEnd TEXT" PVK_DATE_CHECK("TagEnd") ","
    " TagTgb TEXT, TagTgs INTEGER, TagHtv TEXT, TagHvs INTEGER, TagHtn TEXT, TagHns INTEGER,"
    " PRIMARY KEY (TagPnr, TagTag)) WITHOUT ROWID;"
    // The yesterday cursor reads one day across all persons.
    "CREATE INDEX Krv327Tag_Day ON Krv327Tag (TagTag);"
    "CREATE TABLE Krv320Tgb ("
    " TgbPnr TEXT NOT NULL,"
    " TgbDtm TEXT NOT NULL" PVK_DATE_CHECK("TgbDtm") ","
    " TgbZtr INTEGER NOT NULL,"
    " TgbSol INTEGER,"
    " PRIMARY KEY (TgbPnr, TgbDtm, TgbZtr)) WITHOUT ROWID;"
    "CREATE TABLE Krv321Bch ("
    " BchPnr TEXT NOT NULL,"
    " BchVon TEXT NOT NULL" PVK_DATE_CHECK("BchVon") ","
    " BchUhr TEXT NOT NULL" PVK_DATE_CHECK("BchUhr") ","
    " BchFkt INTEGER NOT NULL,"
    " BchBis TEXT" PVK_DATE_CHECK("BchBis") ","
    " BchVws TEXT" PVK_DATE_CHECK("BchVws") ","
    " BchFcd TEXT, BchZwt INTEGER, BchAbt TEXT, BchKst TEXT, BchKtr TEXT, BchKrt TEXT,"
    " BchAzt TEXT, BchVra TEXT, BchTxt INTEGER, BchSta INTEGER, BchErf TEXT, BchTrm TEXT,"
    " BchDat TEXT" PVK_DATE_CHECK("BchDat") ","
    " PRIMARY KEY (BchPnr, BchVon, BchUhr, BchFkt)) WITHOUT ROWID;"
    "CREATE TABLE Krv131Fcd ("
    " FcdNum TEXT NOT NULL PRIMARY KEY,"
    " FcdTyp INTEGER, FcdZwt INTEGER, FcdStd INTEGER, FcdSol INTEGER, FcdPri INTEGER,"
    " FcdGpu INTEGER, FcdFcd INTEGER, FcdFlg TEXT, FcdSta INTEGER);"
    "CREATE TABLE Krv329Ztg ("
    " ZtgPnr TEXT,"
    " ZtgVon TEXT" PVK_DATE_CHECK("ZtgVon") ","
    " ZtgAzt TEXT, ZtgSta INTEGER);"
    "CREATE INDEX Krv329Ztg_PnrDay ON Krv329Ztg (ZtgPnr, ZtgVon);"
    "CREATE TABLE Krv140Azv ("
    " AzvNum TEXT,"
    " AzvSol INTEGER, AzvSo2 INTEGER, AzvVhs INTEGER, AzvHso INTEGER, AzvHs2 INTEGER,"
    " AzvHtv INTEGER,"
    " AzvGvo TEXT" PVK_DATE_CHECK("AzvGvo") ","
    " AzvGbi TEXT" PVK_DATE_CHECK("AzvGbi") ","
    " AzvSta INTEGER);"
    "CREATE INDEX Krv140Azv_NumFrom ON Krv140Azv (AzvNum, AzvGvo);";

#undef PVK_DATE_CHECK

}  // namespace sqlite

// Dates are timestamp(0) without time zone; names unquoted, so they fold to lower case as the
// job's statements do. Keys and indexes let every statement find a person's rows of one day
// without reading the person's history.
const char* const kPgSchemaDdl =
    "CREATE TABLE Krv327Tag ("
    " TagPnr text NOT NULL, TagTag timestamp(0) NOT NULL,"
    " TagVon timestamp(0), TagUhr timestamp(0), TagBis timestamp(0), TagEnd timestamp(0),"
    " TagTgb text, TagTgs integer, TagHtv text, TagHvs integer, TagHtn text, TagHns integer,"
    " PRIMARY KEY (TagPnr, TagTag));"
    // The yesterday cursor reads one day across all persons.
    "CREATE INDEX Krv327Tag_Day ON Krv327Tag (TagTag);"
    "CREATE TABLE Krv320Tgb ("
    " TgbPnr text NOT NULL, TgbDtm timestamp(0) NOT NULL, TgbZtr integer NOT NULL,"
    " TgbSol integer,"
    " PRIMARY KEY (TgbPnr, TgbDtm, TgbZtr));"
    "CREATE TABLE Krv321Bch ("
    " BchPnr text NOT NULL, BchVon timestamp(0) NOT NULL, BchUhr timestamp(0) NOT NULL,"
    " BchFkt integer NOT NULL, BchBis timestamp(0), BchVws timestamp(0), BchFcd text,"
    " BchZwt integer, BchAbt text, BchKst text, BchKtr text, BchKrt text, BchAzt text,"
    " BchVra text, BchTxt integer, BchSta integer, BchErf text, BchTrm text,"
    " BchDat timestamp(0),"
    " PRIMARY KEY (BchPnr, BchVon, BchUhr, BchFkt));"
    "CREATE TABLE Krv131Fcd ("
    " FcdNum text NOT NULL PRIMARY KEY,"
    " FcdTyp integer, FcdZwt integer, FcdStd integer, FcdSol integer, FcdPri integer,"
    " FcdGpu integer, FcdFcd integer, FcdFlg text, FcdSta integer);"
    "CREATE TABLE Krv329Ztg ("
    " ZtgPnr text, ZtgVon timestamp(0), ZtgAzt text, ZtgSta integer);"
    "CREATE INDEX Krv329Ztg_PnrDay ON Krv329Ztg (ZtgPnr, ZtgVon);"
    "CREATE TABLE Krv140Azv ("
    " AzvNum text, AzvSol integer, AzvSo2 integer, AzvVhs integer, AzvHso integer,"
    " AzvHs2 integer, AzvHtv integer, AzvGvo timestamp(0), AzvGbi timestamp(0),"
    " AzvSta integer);"
    "CREATE INDEX Krv140Azv_NumFrom ON Krv140Azv (AzvNum, AzvGvo);";

}  // namespace pvc
