#include "tools/journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "client/codes.h"
#include "run/ground/RunControl.h"
#include "tools/ctl.h"
#include "tools/explain.h"
#include "tools/journal_values.h"

namespace {

namespace fs = std::filesystem;
using journal::Change;
using nlohmann::json;
using pvc::Bind;
using pvc::Op;

// The file is synced at most this often between the syncs of its start and end.
constexpr std::time_t kSyncSeconds = 5;

std::string Stamp(std::time_t t) { return Run_LocalTime(t, "%Y%m%dT%H%M%S"); }

std::string FileName(const JournalHeader& h, int attempt) {
  return journal::kFilePrefix + (h.day.empty() ? std::string("pending") : h.day) + "-" + h.start +
         (h.kind == journal::kUndo ? journal::kUndoSuffix : "") +
         (attempt > 0 ? "-" + std::to_string(attempt + 1) : "") + journal::kFileExtension;
}

// The value of input `name` of a write, as the journal writes it.
json In(Op op, const std::vector<Bind>& in, const char* name) {
  const int i = pvc::Op_InIndex(op, name);
  if (i < 0 || static_cast<size_t>(i) >= in.size()) return nullptr;
  return journal::FromBind(in[static_cast<size_t>(i)], pvc::Op_Info(op).in[i]);
}

// The named inputs of a write as one object.
json Inputs(Op op, const std::vector<Bind>& in, std::initializer_list<const char*> names) {
  json j = json::object();
  for (const char* name : names) j[name] = In(op, in, name);
  return j;
}

const std::initializer_list<const char*> kPairs = {"TagTgb", "TagTgs", "TagHtv",
                                                   "TagHvs", "TagHtn", "TagHns"};

// The columns of the yesterday cursors' rows (both select the same list).
constexpr int kTagPnrAt = pvc::Op_OutIndex(Op::TagYday, "TagPnr");
constexpr int kTagTagAt = pvc::Op_OutIndex(Op::TagYday, "TagTag");
static_assert(kTagPnrAt >= 0 && kTagTagAt >= 0 &&
              kTagPnrAt == pvc::Op_OutIndex(Op::TagYdayAt, "TagPnr") &&
              kTagTagAt == pvc::Op_OutIndex(Op::TagYdayAt, "TagTag"));

}  // namespace

bool JournalWriter::IsDayRow(const json& key) const {
  if (day_row_.size() <= static_cast<size_t>(std::max(kTagPnrAt, kTagTagAt))) return false;
  return journal::FromCell(day_row_[kTagPnrAt]) == key.value("TagPnr", json(nullptr)) &&
         journal::FromCell(day_row_[kTagTagAt]) == key.value("TagTag", json(nullptr));
}

json JournalWriter::DayRowPairs() const {
  if (!day_pairs_.is_null()) return day_pairs_;
  json pairs = json::object();
  for (const char* name : kPairs) {
    const pvc::Cell* c = pvc::OutNamed(Op::TagYday, day_row_, name);
    pairs[name] = c != nullptr ? journal::FromCell(*c) : json(nullptr);
  }
  return pairs;
}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

namespace {

// The journal directory `dir`, opened (made when missing, mode 0700). Root works for the job: a
// directory it makes in a directory of another user (a catch-up in the job's working directory)
// is handed to that user and group, and a directory of root's own in such a place is refused,
// since the job's next night, run as that user, could not write there. Root never opens the
// directory through a symbolic link. The open directory, or -1 with the reason in `why`.
int OpenJournalDir(const std::string& dir, std::string& why) {
  const bool root = ::geteuid() == 0;
  const bool made = ::mkdir(dir.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    why = "cannot make the journal directory " + dir + ": " + std::strerror(errno);
    return -1;
  }
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (root ? O_NOFOLLOW : 0));
  if (fd < 0) {
    why = "cannot open the journal directory " + dir + ": " +
          (root && (errno == ELOOP || errno == ENOTDIR)
               ? std::string("run as root, parvekctl writes no journal through a symbolic link")
               : std::strerror(errno));
    return -1;
  }
  struct stat d {}, p {};
  const std::string parent = fs::path(dir).parent_path().string();
  if (!root || ::fstat(fd, &d) != 0 || d.st_uid != 0 ||
      ::stat(parent.empty() ? "." : parent.c_str(), &p) != 0 || p.st_uid == 0)
    return fd;
  if (made && ::fchown(fd, p.st_uid, p.st_gid) == 0) return fd;
  why = made ? "cannot give the journal directory " + dir + " to the owner of " +
                   (parent.empty() ? "." : parent) + ": " + std::strerror(errno)
             : "the journal directory " + dir + " belongs to root, but " +
                   (parent.empty() ? "the working directory" : parent) + " belongs to user " +
                   std::to_string(p.st_uid) +
                   ": the job's nights could not write their journals there; give it to that "
                   "user (chown) or name another directory";
  ::close(fd);
  return -1;
}

}  // namespace

bool JournalWriter::Create(const std::string& dir, const std::string& day,
                           const JournalHeader& header, std::string& why) {
  dir_fd_ = OpenJournalDir(dir, why);
  if (dir_fd_ < 0) return false;
  dir_ = dir;
  header_ = header;
  header_.day = day;
  const auto now = std::chrono::system_clock::now();
  header_.start = Stamp(std::chrono::system_clock::to_time_t(now));
  header_.started_us =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  if (header_.folder.empty()) header_.folder = fs::absolute(dir).lexically_normal().string();
  for (int attempt = 0; attempt < 10 && fd_ < 0; ++attempt) {
    name_ = FileName(header_, attempt);
    path_ = (fs::path(dir) / name_).string();
    // The journal holds personal data: its owner alone reads it.
    fd_ = ::openat(dir_fd_, name_.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    why = "cannot create a journal in " + dir + ": " + std::strerror(errno);
    return false;
  }
  // Made by root in a directory of another user, the file is that user's, as its directory.
  struct stat d {};
  if (::geteuid() == 0 && ::fstat(dir_fd_, &d) == 0 && d.st_uid != 0 &&
      ::fchown(fd_, d.st_uid, d.st_gid) != 0) {
    why = "cannot give the journal " + path_ + " to the owner of " + dir + ": " +
          std::strerror(errno);
    ::unlinkat(dir_fd_, name_.c_str(), 0);
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  last_sync_ = std::time(nullptr);
  return true;
}

void JournalWriter::DayKnown(const AccountingDay& day) {
  if (header_written_ || fd_ < 0 || !header_.day.empty()) return;
  header_.day = day.Compact();
  const std::string named = FileName(header_, 0);
  struct stat st {};
  // The file keeps its provisional name when the new one is taken.
  if (::fstatat(dir_fd_, named.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
      ::renameat(dir_fd_, name_.c_str(), dir_fd_, named.c_str()) == 0) {
    name_ = named;
    path_ = (fs::path(dir_) / named).string();
  }
}

void JournalWriter::Start(pvc::Session& s) {
  session_ = &s;
  if (header_written_ || fd_ < 0) return;
  // Which database the changes are made on, so that an undo finds the same one whichever
  // directory, settings file or host it is started from.
  if (header_.identity.empty()) header_.identity = Ctl_DatabaseIdentity(s, header_.schema).key;
  Header();
}

void JournalWriter::Header() {
  if (header_written_) return;
  header_written_ = true;
  Line(journal::HeaderLine(header_));
}

bool JournalWriter::Line(const json& j) { return Write(j.dump() + "\n"); }

void JournalWriter::Reason(const char* pnr, const Decision& d) {
  Explain_AppendJournalLine(held_text_, pnr, d);
  held_text_ += '\n';
  if (held_text_.size() >= 64 * 1024 && header_written_) Write("");
}

void JournalWriter::Hold(const json& j) {
  held_text_ += j.dump();
  held_text_ += '\n';
}

bool JournalWriter::Write(const std::string& line) {
  if (fd_ < 0 || failed_) return false;
  // What was held, in the order it came, then the line, in one call: the line is in the file
  // before the database hears of the write it announces. The buffer keeps its room.
  iovec parts[2] = {{held_text_.data(), held_text_.size()},
                    {const_cast<char*>(line.data()), line.size()}};
  size_t left = held_text_.size() + line.size();
  int first = 0;
  while (left > 0) {
    const ssize_t n = ::writev(fd_, parts + first, 2 - first);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return false;
    }
    // A short write: go on after what went out.
    left -= static_cast<size_t>(n);
    for (size_t done = static_cast<size_t>(n); done > 0 && first < 2;) {
      const size_t step = std::min(done, parts[first].iov_len);
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
      parts[first].iov_len -= step;
      done -= step;
      if (parts[first].iov_len == 0) ++first;
    }
  }
  held_text_.clear();
  return true;
}

int JournalWriter::BeforeWrite(pvc::Session& s, Op op, const std::vector<Bind>& in) {
  session_ = &s;
  Header();
  const int64_t n = n_ + 1;
  json e;
  Change change = Change::kInsert;
  switch (op) {
    case Op::BchInsert: {
      // The values written; the columns the insert leaves out are NULL.
      json row = json::object();
      row["BchPnr"] = In(op, in, "BchPnr");
      row["BchVon"] = journal::TextOf(In(op, in, "BchVon")) + "000000";
      row["BchUhr"] = In(op, in, "BchUhr");
      row["BchFkt"] = In(op, in, "BchFkt");
      row["BchFcd"] = In(op, in, "BchFcd");
      e = journal::RowLine(n, Change::kInsert, std::move(row));
      break;
    }
    case Op::BchInsertRow:
      e = journal::RowLine(n, Change::kInsert, Inputs(op, in, journal::kRowNames));
      break;
    case Op::BchUpdFkt:
    case Op::BchSetFkt: {
      json key = Inputs(op, in, {"BchPnr", "BchVon", "BchUhr"});
      pvc::Row row;
      json before = nullptr;
      if (s.SelectOne(Op::BchReadRow, journal::KeyBinds(key, In(op, in, "BchFkt")), row) ==
          pvc::kOk) {
        const json r = journal::RowOf(row);
        before = {{"BchFkt", r["BchFkt"]}, {"BchDat", r["BchDat"]}, {"BchErf", r["BchErf"]}};
      }
      json after = {{"BchFkt", In(op, in, "BchFktNeu")}};
      // The night's change stamps the server's clock, learnt once it has committed.
      after["BchDat"] = op == Op::BchSetFkt ? In(op, in, "BchDat") : json(nullptr);
      after["BchErf"] = op == Op::BchSetFkt ? In(op, in, "BchErf") : json("Korvant");
      change = Change::kFunction;
      e = journal::ImageLine(n, change, std::move(key), std::move(before), std::move(after));
      break;
    }
    case Op::BchDelFkt: {
      const json key = Inputs(op, in, {"BchPnr", "BchVon", "BchUhr"});
      pvc::Row row;
      change = Change::kDelete;
      e = journal::RowLine(
          n, change,
          s.SelectOne(Op::BchReadRow, journal::KeyBinds(key, In(op, in, "BchFkt")), row) == pvc::kOk
              ? journal::RowOf(row)
              : json(nullptr));
      break;
    }
    case Op::TagUpdate:
    case Op::TagRestore: {
      json key = Inputs(op, in, {"TagPnr", "TagTag"});
      json before = nullptr;
      pvc::Row row;
      if (IsDayRow(key))
        before = DayRowPairs();
      else if (s.SelectOne(Op::TagReadPairs, journal::Binds(Op::TagReadPairs, key), row) ==
               pvc::kOk)
        before = journal::PairsOf(row);
      change = Change::kDay;
      e = journal::ImageLine(n, change, std::move(key), std::move(before), Inputs(op, in, kPairs));
      break;
    }
    default: return pvc::kOk;  // no write of the night or the undo: nothing to take back
  }
  if (!Line(e)) return pvc::kInternal;
  pending_change_ = change;
  pending_key_ = e.value(journal::key::kKey, json(nullptr));
  pending_after_ = e.value(journal::key::kAfter, json(nullptr));
  pending_ = ++n_;
  return pvc::kOk;
}

void JournalWriter::Saw(const pvc::Seen& seen) {
  const Op op = seen.op;
  if (op == Op::TagYday || op == Op::TagYdayAt) {
    if (seen.row == nullptr) {
      // The scan's first statement: the night's day is known from here on.
      if (seen.rc == pvc::kOk && !header_written_ && session_ != nullptr) Start(*session_);
      return;
    }
    // The scan updates an accounting day's record while that record is its current row: the
    // row's pairs are the before-image of its first update (taken from it only then).
    day_row_ = *seen.row;
    day_pairs_ = nullptr;
    return;
  }
  if (!pvc::Op_IsWrite(op) || pending_ == 0) return;
  json done;
  if (seen.rc == pvc::kOk) {
    std::optional<json> bch_dat;
    pvc::Row row;
    if (pending_change_ == Change::kFunction && op == Op::BchUpdFkt && session_ != nullptr &&
        session_->SelectOne(Op::BchReadRow,
                            journal::KeyBinds(pending_key_, pending_after_["BchFkt"]),
                            row) == pvc::kOk)
      bch_dat = journal::RowOf(row)["BchDat"];
    if (pending_change_ == Change::kDay && IsDayRow(pending_key_)) day_pairs_ = pending_after_;
    if (holding_) {
      // Committed, or not, with the other writes of its transaction.
      held_.push_back({pending_, pending_change_, bch_dat});
      if (op == Op::BchUpdFkt) cancel_retry_ = false;
      pending_ = 0;
      return;
    }
    Count(pending_change_);
    done = journal::OkLine(pending_, bch_dat);
  } else {
    // Not every write the database refuses is a failure of the run: one that matched nothing
    // changed nothing, and a cancellation that meets an older cancelled booking at its key is
    // refused once by design (the night clears the older one and cancels again). Their lines
    // say "failed" all the same: the undo takes back only writes that were made.
    const bool first_cancel_met_older =
        op == Op::BchUpdFkt && seen.rc == pvc::kUniqueViolated && !cancel_retry_;
    if (seen.rc == pvc::kNoData || first_cancel_met_older)
      ++unchanged_;
    else
      ++failed_writes_;
    done = journal::FailedLine(pending_, seen.rc);
  }
  if (op == Op::BchUpdFkt)
    cancel_retry_ = seen.rc == pvc::kUniqueViolated && !cancel_retry_;
  pending_ = 0;
  // Held until the next change line goes out, or the end: the write has settled either way, and
  // a kill before then leaves just this write unconfirmed, as a kill right after its commit would.
  Hold(done);
  const std::time_t now = std::time(nullptr);
  if (now - last_sync_ >= kSyncSeconds && fd_ >= 0) {
    Write("");
    ::fdatasync(fd_);
    last_sync_ = now;
  }
}

void JournalWriter::Count(Change change) {
  switch (change) {
    case Change::kInsert: ++inserted_; break;
    case Change::kDelete: ++deleted_; break;
    case Change::kFunction: ++functions_; break;
    case Change::kDay: ++days_; break;
  }
}

void JournalWriter::BeginTransaction() {
  holding_ = true;
  held_.clear();
}

void JournalWriter::EndTransaction(TxnEnd end) {
  holding_ = false;
  for (const Held& h : held_) {
    if (end == TxnEnd::kCommitted) {
      Count(h.change);
      Line(journal::OkLine(h.n, h.bch_dat));
    } else if (end == TxnEnd::kRolledBack) {
      ++unchanged_;
      Line(journal::FailedLine(h.n, journal::kRolledBack));
    }
  }
  held_.clear();
}

void JournalWriter::Finish(bool normal, int rc) {
  Header();
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  Line(journal::EndLine(
      {normal && !failed_, rc, inserted_, functions_, deleted_, days_, failed_writes_,
       unchanged_, std::chrono::duration_cast<std::chrono::microseconds>(now).count()}));
  if (fd_ >= 0) {
    if (::fsync(fd_) != 0) failed_ = true;
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
  }
}

namespace {

// Whether the entry `name` of the directory `dir_fd` is a journal this program wrote, last changed
// before `limit`: a regular file (never a link) whose first line is a journal's header.
bool OldJournal(int dir_fd, const char* name, std::time_t limit) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      st.st_mtime >= limit)
    return false;
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat opened {};
  std::string first;
  char buf[4096];
  ssize_t n = 0;
  if (::fstat(fd, &opened) == 0 && opened.st_ino == st.st_ino && opened.st_dev == st.st_dev) {
    // A header line is short; a first line longer than this is none.
    while (first.find('\n') == std::string::npos && first.size() < 65536 &&
           (n = ::read(fd, buf, sizeof buf)) > 0)
      first.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  const size_t end = first.find('\n');
  return end != std::string::npos && journal::IsHeaderLine(first.substr(0, end));
}

}  // namespace

int Journal_RemoveOld(const std::string& dir, int days) {
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR)
      std::fprintf(stderr,
                   "parvekctl: old journals are not removed from %s: it is a symbolic link (or "
                   "no directory), which the removal never follows\n",
                   dir.c_str());
    return 0;
  }
  struct stat d {};
  if (::fstat(dir_fd, &d) != 0 || (d.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::fprintf(stderr,
                 "parvekctl: old journals are not removed from %s: others than its owner may "
                 "write there, and a file of theirs could pass for a journal (chmod go-w %s)\n",
                 dir.c_str(), dir.c_str());
    ::close(dir_fd);
    return 0;
  }
  const std::time_t limit = std::time(nullptr) - static_cast<std::time_t>(days) * 24 * 3600;
  std::vector<std::string> old;
  const int list_fd = ::dup(dir_fd);
  DIR* list = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr;
  if (list == nullptr && list_fd >= 0) ::close(list_fd);
  const std::string prefix = journal::kFilePrefix, ext = journal::kFileExtension;
  for (const dirent* e = list != nullptr ? ::readdir(list) : nullptr; e != nullptr;
       e = ::readdir(list)) {
    const std::string name = e->d_name;
    if (name.size() > prefix.size() + ext.size() && name.rfind(prefix, 0) == 0 &&
        name.compare(name.size() - ext.size(), ext.size(), ext) == 0 &&
        OldJournal(dir_fd, name.c_str(), limit))
      old.push_back(name);
  }
  if (list != nullptr) ::closedir(list);
  int removed = 0;
  for (const std::string& name : old)
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0) ++removed;
  ::close(dir_fd);
  return removed;
}
