// The order in which journals of one database and accounting day are taken back: newest first.
// A night and its rerun (--force) of the same day each leave a journal, and so does every undo;
// each one's before-images are the rows as the one before it left them. Taking back an older
// journal while a later one still stands would put its before-images under the later one's
// work, or find rows that merely look like its after-images; parvekctl undo refuses it.
//
// The journals of the day are looked for beside the journal to be taken back and in its night's
// journal folder (the header's "folder": the directory the night wrote into, which an undo's
// journal names too; for older journals, the folder of the journal an undo took back).
//
// A later journal stands unless it changed nothing (every write failed, or none was made) or it
// was undone: an undo's journal that names it ("undoes") ended normally, and that undo was not
// undone in its turn. A later undo's journal that took back this journal itself (a killed or
// failed undo, to be completed) or a journal later than this one stands in for nothing of its
// own: that later journal is judged itself.
#pragma once

#include <string>
#include <vector>

#include "tools/journal_format.h"

namespace journal {

// A journal found beside another.
struct Found {
  std::string path;
  Journal journal;  // its header is always there
  // Not empty: its header names the same database and day, but the rest could not be read
  // (why); it counts as standing, since what it changed cannot be told.
  std::string unreadable;
};

// Whether `a` and `b` name the same database: by identity where both have one, else by NET8
// text and schema (journals of versions that did not record identities).
bool SameDatabase(const JournalHeader& a, const JournalHeader& b);

// Whether the journal of `a` started after that of `b`: by "started" where both have it, else
// by "start" (to the second; journals started within the same second are not ordered).
bool StartedAfter(const JournalHeader& a, const JournalHeader& b);

// Whether the files at `a` and `b` are one journal: the same file, or a copy under its name
// (the name holds the day and the start).
bool SameJournal(const std::string& a, const std::string& b);

// Whether `u` is an undo's journal that took back the journal at `path`.
bool Undoes(const Found& u, const std::string& path);

// The journals of the database and accounting day of `header`, the journal at `path`, found
// beside it and in its night's journal folder; `path` itself and copies of it left out. Only
// regular files named "parvek-*.journal" are read, never through a symbolic link; a file whose
// header cannot be read is none of them.
std::vector<Found> JournalsOfTheDay(const std::string& path, const JournalHeader& header);

// Of `day` (JournalsOfTheDay), the journals started after the one at `path` that still stand,
// newest first: they must be taken back before it.
std::vector<const Found*> StandingAfter(const std::string& path, const JournalHeader& header,
                                        const std::vector<Found>& day);

}  // namespace journal
