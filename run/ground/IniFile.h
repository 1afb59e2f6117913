// Settings file reader.
//
// A settings file is a sequence of two-line records taken by position (lines 1-2, 3-4, ...):
//   header line:  ...;SECTION;...       only the text between the first and second ';' counts
//   entry line:   NUMBER;KEY;VALUE      VALUE is the enciphered setting as upper-case hex
// CRLF is read as LF, a last line without line end is read like any other, and a last line
// without a partner is ignored. Lines of any length are read whole: a long line never turns
// into two lines, which would shift the pairing of every record after it. A line's text ends
// at its first zero byte (the rest of that line is not looked at). Only regular files are
// read; any other path (a FIFO, a device, a directory) reads as a missing file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The reader's result: one process-wide instance that every Ini_ReadEntry call overwrites.
// Texts are kept whole, whatever their length.
struct IniEntryRec {
  std::int32_t number = 0;
  std::string section;
  std::string key;
  std::string value;  // after a match: the deciphered text (up to its first zero byte)
};
extern IniEntryRec IniEntry;

// Looks up the first record that answers the request and leaves its deciphered value in
// IniEntry.value. A record answers when ANY ONE of its section, its key or its number equals
// the request (texts byte for byte). The file is opened and closed on every call; nothing is
// cached. A missing or unreadable file, or no answering record, leaves IniEntry clear (number
// 0, texts empty). Never reports an error and writes nothing anywhere.
void Ini_ReadEntry(const char* section, const char* key, std::int32_t number, const char* path);

// Position (from 0) of the n-th occurrence of `ch` in `text`; the last occurrence when there
// are fewer than n; -1 when there is none.
int Str_FindNth(const std::string& text, char ch, int n);

// length > 0: that many characters from `start` (fewer at the end of the text);
// length == 0: everything from `start` to the end; length < 0: `out` is left as it was.
void Str_Sub(const std::string& text, int start, int length, std::string& out);

// The lenient number of an entry line: leading white space, one sign, then digits up to the
// first non-digit; no leading digits read as 0. Values beyond 32 bits saturate.
std::int32_t Ini_ReadNumber(const std::string& text);

// One record split into its fields by the format's rules (the reader's steps before the
// match), for the reader and for tools that list or rewrite settings files. `header` and
// `entry` are lines with their line end already read as "\n" (or none on a last line).
struct IniRecord {
  IniEntryRec fields;  // value still enciphered
  int has_number = 0;  // 0 when the entry line holds no ';' at all: it has no number field
};
IniRecord Ini_ParseRecord(const std::string& header, const std::string& entry);

// 1 when the record answers the request (see Ini_ReadEntry). An entry line without any ';'
// carries no number and so never answers through its number.
int Ini_RecordAnswers(const IniRecord& rec, const char* section, const char* key,
                      std::int32_t number);

// Longest line the reader takes: far beyond any settings file, but a path naming an endless
// source (/dev/zero) must not exhaust memory.
inline constexpr std::size_t kIniLineLimit = std::size_t{16} << 20;

// Reads one line of `file` whole, with its line end; "\r\n" is returned as "\n". Returns 1
// for a line, 0 when nothing could be read (end of file or read error), -1 when the line is
// longer than kIniLineLimit bytes (`line` is then empty; the reader stops there).
int Ini_ReadLine(std::FILE* file, std::string& line);

// Splits file content into its lines exactly as they are stored (line ends kept as they are,
// "\r\n" included), for writers that must keep other lines byte for byte.
std::vector<std::string> Ini_SplitLines(const std::string& content);

// A stored line as the reader sees it: "\r\n" at its end read as "\n".
std::string Ini_NormalizeLine(const std::string& raw);
