// The SQL codes the database client returns: the one list, in the numbering operators of the
// job's reference database know. Every backend maps its engine's errors onto these and no
// others; the guide doc/databases.md lists them for operators.
#pragma once

namespace pvc {

inline constexpr int kOk = 0;
inline constexpr int kNoData = 1403;            // no (more) rows; update/delete matched nothing
inline constexpr int kUniqueViolated = -1;      // a write would break a unique key
inline constexpr int kLocked = -54;             // locked by another program past the bounded wait
inline constexpr int kNoTable = -942;           // table or view does not exist
inline constexpr int kNoColumn = -904;          // column does not exist
inline constexpr int kInvalidSql = -900;        // a statement text this backend does not take
inline constexpr int kTooManyCursors = -1000;   // a cursor opened beyond the three the job uses
inline constexpr int kNotOpen = -1001;          // fetch on a cursor that is not open
inline constexpr int kBadLogin = -1017;         // user name or password refused
inline constexpr int kNoPrivilege = -1031;      // the file or object may not be read
inline constexpr int kNotNull = -1400;          // a NOT NULL column would receive NULL
inline constexpr int kTooManyRows = -1422;      // single-row select found more than one row
inline constexpr int kNoSchema = -1435;         // schema (user) does not exist
inline constexpr int kInvalidNumber = -1722;    // a stored value is not a number
inline constexpr int kBadMonth = -1843;         // not a valid month
inline constexpr int kBadDay = -1847;           // day of month out of range
inline constexpr int kBadDateFormat = -1861;    // literal does not match format string
inline constexpr int kSchemaExists = -1920;     // a schema of that name exists already
inline constexpr int kCheckViolated = -2290;    // a check constraint of the table is violated
inline constexpr int kBadSchemaName = -2421;    // schema name missing or not an identifier
inline constexpr int kLostConnection = -3114;   // not connected / connection or file lost
inline constexpr int kBadNetName = -12154;      // net service name not served by this build
inline constexpr int kNoListener = -12541;      // server not reachable
inline constexpr int kReadOnly = -16000;        // database open for reading only (write refused)
inline constexpr int kDeadlock = -60;           // deadlock detected; the statement was undone
inline constexpr int kCancelled = -1013;        // statement cancelled (a server's time limit)
inline constexpr int kNoSavepoint = -1086;      // rollback to a savepoint that is not set
inline constexpr int kKeyTooLong = -1406;       // a fetched key is longer than its field
inline constexpr int kValueTooLarge = -1438;    // number too large for its column
inline constexpr int kColumnOverflow = -1455;   // a fetched integer does not fit 32 bits
inline constexpr int kTextTooLong = -12899;     // text too long for its column
inline constexpr int kUnknownService = -12514;  // the database the target names does not exist
inline constexpr int kServerBusy = -12516;      // server refuses new connections (full, starting)
inline constexpr int kInternal = -600;          // anything else the engine reports

}  // namespace pvc
