// Makes the commits of a SQLite session's writing connection durable on a thread of its own (the
// native backend's, and the ODBC backend's on SQLite).
//
// The connection commits without syncing its log (synchronous=NORMAL; in WAL mode the engine
// still syncs the log before every checkpoint and at its restart, so the file stays whole
// whatever happens). After each commit the log is synced here while the night goes on. The log
// is written in order and a sync covers everything before it, so what is on disk is always the
// commits up to some point. A write waits until at most one commit before it is not yet on disk
// (a person's booking and its day record, committed one after the other, sync together with
// the persons after them): at most the last two commits are ever not on disk. An explicit commit
// and the session's end wait for every sync. A sync that fails stays failed: every later wait
// reports it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "client/core/bind.h"

namespace pvc {

class WalSyncer {
 public:
  explicit WalSyncer(std::string log_path) : path_(std::move(log_path)) {}
  ~WalSyncer();  // waits for the syncs asked for, then ends the thread
  WalSyncer(const WalSyncer&) = delete;
  WalSyncer& operator=(const WalSyncer&) = delete;

  // A commit has put its frames into the log: sync them (on the thread, started at the first).
  void Committed();
  // Waits until at most `pending` commits so far are not yet synced (0: every one is): 0, or
  // the errno of a sync that failed.
  int WaitDurable(int pending = 0);
  // The same for a session: 0, or -3114 (the session is lost) with the reason in `err`.
  int WaitDurable(int pending, ErrorDetail& err);

  // Syncs done by every syncer of the process so far, and the CPU time their threads spent on
  // them (the kernel's work for the disk), in microseconds.
  static long SyncsDone();
  static long SyncCpuMicros();
  // Commits on disk by their syncs so far (a sync covers every commit before it began).
  static long CommitsSynced();

 private:
  void Run();
  int SyncOnce();  // 0 or errno

  const std::string path_;
  int fd_ = -1;
  std::mutex m_;
  std::condition_variable cv_;
  uint64_t asked_ = 0, done_ = 0;
  int error_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace pvc
