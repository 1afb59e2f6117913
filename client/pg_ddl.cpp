// The tables of a PostgreSQL schema for the job, shared by the PostgreSQL backend and the ODBC
// backend on a PostgreSQL server.
#include "client/pg_statements.h"

namespace pvc {

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
