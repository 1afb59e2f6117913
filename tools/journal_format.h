// The journal's format, in one place: its keys, the lines the writer (tools/journal.h) makes, and
// the reader that turns a file back into a Journal. A journal is written by parvekctl night
// --journal and by parvekctl undo: one file per run, one JSON object per line.
//
//   {"journal":"night"|"undo", "day", "start", "version", "schema", "net8" (masked),
//    "variant", "settings", "workdir"[, "identity"][, "folder"][, "started"][, "undoes"]}
//                                                                        the header, first
//   {"n":N, "change":"insert", "row":{the columns written}}              a booking inserted
//   {"n":N, "change":"function", "key":{BchPnr,BchVon,BchUhr},
//    "before":{BchFkt,BchDat,BchErf}, "after":{BchFkt,BchDat,BchErf}}    a function changed
//   {"n":N, "change":"delete", "row":{every column of the booking}}      a booking deleted
//   {"n":N, "change":"day", "key":{TagPnr,TagTag},
//    "before":{the six code/value fields}, "after":{the same}}           a day record updated
//   {"ok":N[, "BchDat":...]} or {"failed":N, "rc":code}                  how write N ended
//   {"p":PNR, "s":step, "k":kind, "o":outcome, "i":{inputs}}            a decision of the night
//                                                     about a person's day (tools/explain.h),
//                                                     before the writes it led to
//   {"end":"normal"|"error", "rc", "inserted", "functions", "deleted", "days", "failed",
//    "unchanged"[, "ended"]}
//
// Decision lines are written with the change line that follows them (or the closing line):
// a killed night may leave its last person's reasons out. Journals of versions before them
// hold none.
//
// The closing line's "failed" counts the writes that failed; "unchanged" those refused without
// failing the run: a write that matched nothing (1403), and a cancellation refused once for an
// older cancelled booking at its key, which the night clears before it cancels again. Each of
// both kinds has its {"failed":N, "rc":code} line, since neither changed anything.
//
// An undo commits each person's changes of the accounting day together: the "ok" lines of its
// writes follow that commit, and a write rolled back with its person has {"failed":N,"rc":-2091}
// (kRolledBack), counted as unchanged. Killed between its commit and those lines, an undo leaves
// the person's writes without either; the reader looks at their rows.
//
// "folder" is the directory the night wrote its journal into (an undo's journal names its
// night's), "started" the start in microseconds since 1970 (UTC): they let an undo find the later
// journals of its day and order journals started within one second. "undoes" names the journal an
// undo took back. Journals of older versions have neither "folder" nor "started".
//
// "ended" is the end in microseconds since 1970 (UTC), as "started" its start (the night's report
// gives its duration); journals written before it have none.
//
// "version" is the version of the parvekctl that wrote the file. Dates are 'yyyymmdd', points in
// time 'yyyymmddHHMMSS', times of day 'HHMMSS'; NULL is null (tools/journal_values.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// A journal's header line. `day`, `start` and `version` are filled by the reader; a new journal
// gets them from its writer.
struct JournalHeader {
  std::string kind;  // journal::kNight or journal::kUndo
  std::string day, start, version;
  std::string schema, net8, variant, settings, workdir, undoes;
  std::string folder;      // the night's journal directory; empty in older journals
  int64_t started_us = 0;  // the start in microseconds since 1970; 0 in older journals
  // The database's identity (run/ground/DatabaseIdentity.h); empty in journals of versions
  // before it was recorded, or where the database could not tell.
  std::string identity;
};

namespace journal {

// The keys of the lines.
namespace key {
inline constexpr const char* kJournal = "journal";
inline constexpr const char* kDay = "day";
inline constexpr const char* kStart = "start";
inline constexpr const char* kVersion = "version";
inline constexpr const char* kSchema = "schema";
inline constexpr const char* kNet8 = "net8";
inline constexpr const char* kVariant = "variant";
inline constexpr const char* kSettings = "settings";
inline constexpr const char* kWorkdir = "workdir";
inline constexpr const char* kUndoes = "undoes";
inline constexpr const char* kIdentity = "identity";
inline constexpr const char* kFolder = "folder";
inline constexpr const char* kStarted = "started";
inline constexpr const char* kN = "n";
inline constexpr const char* kChange = "change";
inline constexpr const char* kRow = "row";
inline constexpr const char* kKey = "key";
inline constexpr const char* kBefore = "before";
inline constexpr const char* kAfter = "after";
inline constexpr const char* kOk = "ok";
inline constexpr const char* kOkBchDat = "BchDat";  // in an "ok" line: the stamp committed
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kRc = "rc";
inline constexpr const char* kEnd = "end";
inline constexpr const char* kInserted = "inserted";
inline constexpr const char* kFunctions = "functions";
inline constexpr const char* kDeleted = "deleted";
inline constexpr const char* kDays = "days";
inline constexpr const char* kUnchanged = "unchanged";
inline constexpr const char* kEnded = "ended";
}  // namespace key

// The runs that write a journal.
inline constexpr const char* kNight = "night";
inline constexpr const char* kUndo = "undo";

// File names: "parvek-DAY-START[-undo][-K].journal".
inline constexpr const char* kFilePrefix = "parvek-";
inline constexpr const char* kUndoSuffix = "-undo";
inline constexpr const char* kFileExtension = ".journal";

// The code of a write rolled back with the other writes of its person (an undo's "failed" line).
inline constexpr int kRolledBack = -2091;

enum class Change { kInsert, kFunction, kDelete, kDay };
const char* NameOf(Change change);

// ---- the lines a writer makes -------------------------------------------------------------

// The header; its "version" is this program's.
nlohmann::json HeaderLine(const JournalHeader& h);
// An insert or a delete with its row.
nlohmann::json RowLine(int64_t n, Change change, nlohmann::json row);
// A function or day change with its key and before- and after-images.
nlohmann::json ImageLine(int64_t n, Change change, nlohmann::json key, nlohmann::json before,
                         nlohmann::json after);
// Write `n` committed; a night's function change adds the stamp it committed with.
nlohmann::json OkLine(int64_t n, const std::optional<nlohmann::json>& bch_dat = std::nullopt);
nlohmann::json FailedLine(int64_t n, int rc);

struct End {
  bool normal = false;  // the run ended as it should
  int rc = 0;
  int inserted = 0, functions = 0, deleted = 0, days = 0, failed = 0;
  int unchanged = 0;  // refused without failing the run; absent in older journals (0)
  int64_t ended_us = 0;  // the end in microseconds since 1970; 0: not recorded (older journals)
};
nlohmann::json EndLine(const End& end);

// ---- reading a journal --------------------------------------------------------------------

struct Entry {
  enum class State { kSent, kConfirmed, kFailed };
  int64_t n = 0;
  std::optional<Change> change;  // none: a kind this program does not know
  nlohmann::json line;           // the change line as written
  State state = State::kSent;    // kConfirmed: its "ok" line is there, the write committed
  std::string bch_dat;           // a night's function change: BchDat as it committed
};

struct Journal {
  std::optional<JournalHeader> header;  // none: the file is empty or its header was cut short
  std::vector<Entry> entries;           // in the order written
  std::optional<End> end;               // the closing line, when there
  std::vector<std::string> reasons;     // the decision lines as written; none in older journals
  size_t reason_lines = 0;              // how many decision lines were read (also those handed on)
  bool torn_tail = false;               // the last line was cut short (a killed run)
};

// Receives a decision line ({"p":...}, without its line end) and says whether it was one: false
// lets the reader read it as any other line, so that a broken one is found as such. Only when it
// says true may it take the text (move it away).
using ReasonSink = std::function<bool(std::string& text)>;

// Reads the journal at `path`. False with the reason in `why` for a file that is no journal, whose
// header names a kind or a version this program does not know (refused as soon as the header is
// read), or with a broken line before its last. With `reason`, the decision lines go to it, in
// order, instead of into `reasons`, without being parsed here (a night's report reads tens of
// thousands of them).
bool Read(const std::string& path, Journal& j, std::string& why, const ReasonSink& reason = {});

// Reads the header of the journal at `path` only (its first line), refused as Read refuses it.
bool ReadHeader(const std::string& path, JournalHeader& h, std::string& why);

// Whether `line` (without its line end) is a journal's first line: a header of a kind this
// program writes, whatever version wrote it.
bool IsHeaderLine(const std::string& line);

}  // namespace journal
