#include "tools/journal_order.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

namespace journal {

namespace {

namespace fs = std::filesystem;

bool ChangedSomething(const Found& f) {
  if (!f.unreadable.empty()) return true;
  return std::any_of(f.journal.entries.begin(), f.journal.entries.end(),
                     [](const Entry& e) { return e.state != Entry::State::kFailed; });
}

bool EndedNormally(const Found& f) {
  return f.unreadable.empty() && f.journal.end && f.journal.end->normal;
}

const JournalHeader& HeaderOf(const Found& f) { return *f.journal.header; }

// Whether `f` was undone: an undo's journal of it ended normally, and was not undone itself.
// `seen` guards against journals that name each other.
bool Undone(const Found& f, const std::vector<Found>& day, std::set<const Found*>& seen) {
  if (!seen.insert(&f).second) return false;
  for (const Found& u : day)
    if (&u != &f && Undoes(u, f.path) && EndedNormally(u) && !Undone(u, day, seen)) return true;
  return false;
}

// The start in a journal's file name "parvek-DAY-START[-undo][-K].journal"; empty when the name
// is not of that form.
std::string StartInName(const std::string& name) {
  const std::string prefix = kFilePrefix;
  if (name.rfind(prefix, 0) != 0) return {};
  const size_t day_end = name.find('-', prefix.size());
  if (day_end == std::string::npos) return {};
  const size_t start_end = name.find_first_of("-.", day_end + 1);
  return start_end == std::string::npos ? std::string()
                                        : name.substr(day_end + 1, start_end - day_end - 1);
}

// The folders the journals of the day are looked for in: beside the journal, and its night's.
std::vector<fs::path> Folders(const std::string& path, const JournalHeader& header) {
  std::error_code ec;
  std::vector<fs::path> folders = {fs::absolute(path, ec).parent_path()};
  if (!header.folder.empty())
    folders.emplace_back(header.folder);
  else if (header.kind == kUndo && !header.undoes.empty())
    folders.push_back(fs::path(header.undoes).parent_path());
  std::vector<fs::path> distinct;
  for (const fs::path& f : folders) {
    const bool again = std::any_of(distinct.begin(), distinct.end(), [&](const fs::path& d) {
      std::error_code e;
      return d == f || fs::equivalent(d, f, e);
    });
    if (!again) distinct.push_back(f);
  }
  return distinct;
}

}  // namespace

bool SameDatabase(const JournalHeader& a, const JournalHeader& b) {
  if (!a.identity.empty() && !b.identity.empty()) return a.identity == b.identity;
  return a.net8 == b.net8 && a.schema == b.schema;
}

bool StartedAfter(const JournalHeader& a, const JournalHeader& b) {
  if (a.started_us != 0 && b.started_us != 0) return a.started_us > b.started_us;
  return a.start > b.start;
}

bool SameJournal(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::path(a).filename() == fs::path(b).filename() || fs::equivalent(a, b, ec);
}

bool Undoes(const Found& u, const std::string& path) {
  const JournalHeader& h = HeaderOf(u);
  return h.kind == kUndo && !h.undoes.empty() && SameJournal(h.undoes, path);
}

std::vector<Found> JournalsOfTheDay(const std::string& path, const JournalHeader& header) {
  std::vector<Found> day;
  if (header.day.empty()) return day;
  const std::string prefix = kFilePrefix, ext = kFileExtension;
  for (const fs::path& folder : Folders(path, header)) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() <= prefix.size() + ext.size() || name.rfind(prefix, 0) != 0 ||
          name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
        continue;
      const std::string file = it->path().string();
      struct stat st {};
      if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || SameJournal(file, path))
        continue;
      // One file reached through both folders is read once.
      if (std::any_of(day.begin(), day.end(),
                      [&](const Found& f) { return fs::equivalent(f.path, file, ec); }))
        continue;
      JournalHeader h;
      std::string why;
      if (!ReadHeader(file, h, why) || h.day != header.day || !SameDatabase(h, header)) continue;
      Found f;
      f.path = file;
      if (!Read(file, f.journal, why) || !f.journal.header) {
        f.unreadable = why.empty() ? "its header was cut short" : why;
        f.journal.header = h;
      }
      day.push_back(std::move(f));
    }
  }
  return day;
}

std::vector<const Found*> StandingAfter(const std::string& path, const JournalHeader& header,
                                        const std::vector<Found>& day) {
  std::vector<const Found*> standing;
  for (const Found& later : day) {
    const JournalHeader& h = HeaderOf(later);
    if (!StartedAfter(h, header)) continue;
    if (later.unreadable.empty() && h.kind == kUndo) {
      // An undo of this journal itself: what it did is this undo's to complete.
      if (Undoes(later, path)) continue;
      // An undo of a journal later than this one stands or falls with that journal, which is
      // judged itself; one whose journal is gone, by the start in the name it gave.
      const auto target = std::find_if(day.begin(), day.end(),
                                       [&](const Found& f) { return Undoes(later, f.path); });
      if (target != day.end() ? StartedAfter(HeaderOf(*target), header)
                              : StartInName(fs::path(h.undoes).filename().string()) > header.start)
        continue;
    }
    std::set<const Found*> seen;
    if (ChangedSomething(later) && !Undone(later, day, seen)) standing.push_back(&later);
  }
  std::sort(standing.begin(), standing.end(), [](const Found* a, const Found* b) {
    return StartedAfter(HeaderOf(*a), HeaderOf(*b));
  });
  return standing;
}

}  // namespace journal
