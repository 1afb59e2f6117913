// Statement module: every statement the job runs, one free operation each.
//
// Every operation returns the SQL code: 0 success, 1403 no (more) rows (also an update or
// delete that matched no row), -1 a broken unique key, other negative codes errors.
// A reading operation changes the caller's record or integer only on code 0.
// A writing operation runs savepoint, statement, then commit on 0 or rollback to the
// savepoint otherwise, and returns the statement's code; when the statement succeeded but
// its commit failed it returns the commit's (negative) code, so a change that is not
// durable is never reported as done.
// Operations never log, print or stop the job. Records are owned by the caller.
//
// Keys are never cut: a fetched person number, date, time or message code longer than its
// field makes the read fail with kKeyTooLong, the record stays as it was, and a cursor stands
// after that row (the next fetch delivers the next row). Other over-long texts are cut to
// their capacity - 1.
//
// A lost connection (-3114 from any call, commits included) is final for the session: every
// later operation returns -3114 at once without reaching the database, and
// Stmt_ConnectionLost() says so.
#pragma once

#include <string>

#include "client/codes.h"
#include "db/records.h"

// No (more) rows: a cursor's end, a select that found nothing, a write that matched nothing.
inline constexpr int kNoMoreRows = pvc::kNoData;
// A write would break a unique key.
inline constexpr int kUniqueKey = pvc::kUniqueViolated;
// A fetched key is longer than its field (the row was not delivered).
inline constexpr int kKeyTooLong = pvc::kKeyTooLong;
inline constexpr int kConnectionLost = pvc::kLostConnection;

// 1 once the session's connection has been lost (until Stmt_SessionStarted).
int Stmt_ConnectionLost();
// Notes a code of a call made outside this module on the same session (the commit).
void Stmt_NoteCode(int rc);
// A new session has been logged on (Db_Connect does this): it is not lost.
void Stmt_SessionStarted();

// The first two texts of the last row refused with kKeyTooLong, whole (for a day record or a
// booking: its person number and its date), for the caller's log entry.
struct RefusedRow {
  std::string pnr, day;
};
const RefusedRow& Stmt_RefusedRow();

// The yesterday cursor: placeholder day records of the accounting day (the database's
// yesterday) with their day-evaluation row (TgbZtr 1).
int TagYday_Open();
// The same cursor for the accounting day `day` instead of the database's yesterday.
int TagYday_OpenAt(const char* day);
int TagYday_Fetch(TagSatz& tag);
int TagYday_Close();

// The earlier-days cursor: the person's day records strictly before `day`, newest first.
int TagPrev_Open(const char* pnr, const char* day);
int TagPrev_Fetch(TagSatz& tag);
int TagPrev_Close();

// Day-message bookings (BchFkt 1, 2, 3) of a person on a day; two cursors over one query.
int BchVortag_Open(const char* pnr, const char* day);
int BchVortag_Fetch(BchSatz& bch);
int BchVortag_Close();
int BchAbrTag_Open(const char* pnr, const char* day);
int BchAbrTag_Fetch(BchSatz& bch);
int BchAbrTag_Close();

// Bookings inside the stored time frame of the person's day record for `day`, newest first,
// without BchFkt 45 and 29.
int BchStdMld_Open(const char* pnr, const char* day);
int BchStdMld_Fetch(BchSatz& bch);
int BchStdMld_Close();

// The database's date (sysdate) as yyyymmdd.
int Db_Today(char (&day)[9]);
// Follow-up code of a message type with FcdSta below 4; `flg` is a text of capacity 4.
int Fcd_ReadFlg(const char* fcdnum, char* flg);
// The message type named by fcd.FcdNum, whatever its status.
int Fcd_Read(FcdSatz& fcd);
// The working-time plan assigned to the person on the day.
int Azv_Read(const char* pnr, const char* day, AzvSatz& azv);
// Bookings with BchFkt 1 whose BchVon is the day at midnight.
int Bch_CountTagMld(const TagSatz& tag, int32_t& count);
// Hour-message bookings inside the time frame held in `tag`, bounds included.
int Bch_CountStdMld(const TagSatz& tag, int32_t& count);
// Announces the reads the search makes of the earlier day `day` once the earlier-days cursor
// has delivered it: both message counts; `with_bookings` adds what the follow-up rules read of
// the day where the search ends on it: its message type, its day-message and hour-message
// bookings. A backend may run them at once in one exchange; each answers the first call with
// its inputs unless the session writes first.
void Vortag_ReadAhead(const TagSatz& day, bool with_bookings);

// Writes.
int Tag_Update(const TagSatz& tag);
int Bch_UpdFkt(const BchSatz& bch, int32_t new_fkt);
int Bch_DelFkt(const BchSatz& bch, int32_t fkt);
int Bch_Insert(const BchSatz& bch);
