// Pieces of the program entry that need no database: the usage text, the flag rules, the
// start time stamp and the schema name.
#pragma once

#include <ctime>
#include <string>

// The usage text, printed to standard output when fewer than three parameters are given.
extern const char kUsageText[];

// Sets RunFlags from the parameters and the environment, in the order verbose, debug,
// consolidation:
//   verbose        the first character of `param3` is the upper-case letter 'D'
//   debug          "PARVEK_DBG" is defined, whatever its value, an empty value included
//   consolidation  `param2` is exactly "KRVNT" (whole text, case-sensitive)
void RunFlags_Init(const char* param2, const char* param3);

// The start time stamp of a run for the given local time:
// "\nDatum: 07.12.2026  Uhrzeit: 02:15:00\n" (two blanks before "Uhrzeit").
std::string Run_TimeStamp(const std::tm& local);
// The moment `t` in local time, formatted by strftime's `format` (at most 63 characters).
std::string Run_LocalTime(std::time_t t, const char* format);

// Upper-cases the ASCII letters 'a' to 'z' in place, whatever the locale; every other byte
// stays as it is. Returns `text`.
char* Str_Upper(char* text);

// The schema name from the deciphered SCHEMA setting: the value without its last character,
// upper-cased with Str_Upper. A value of one character or an empty one gives an empty name.
std::string Run_SchemaName(const std::string& schema_value);

// `text` made fit for one line of a terminal message: control bytes (below 0x20, and 0x7F)
// become '?', and a text longer than `max` bytes is cut there and ends in "...". Used for the
// standard-error line of a failed connect, which shows a net service name read from a file
// that may hold anything.
std::string Run_OneLine(const std::string& text, std::size_t max = 200);
