#include "client/core/wal_sync.h"

#include "client/core/codes.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace pvc {
namespace {

std::atomic<long> g_syncs{0};
std::atomic<long> g_sync_cpu_us{0};
std::atomic<long> g_commits_synced{0};

long ThreadCpuMicros() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

WalSyncer::~WalSyncer() {
  {
    std::lock_guard<std::mutex> lk(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

void WalSyncer::Committed() {
  std::unique_lock<std::mutex> lk(m_);
  ++asked_;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&WalSyncer::Run, this);
    } catch (const std::system_error&) {
      // No thread to be had: the commit is synced here and now, as the engine would.
      const int err = SyncOnce();
      if (err != 0 && error_ == 0) error_ = err;
      if (err == 0) g_commits_synced += static_cast<long>(asked_ - done_);
      done_ = asked_;
      return;
    }
  }
  lk.unlock();
  cv_.notify_all();
}

int WalSyncer::WaitDurable(int pending) {
  std::unique_lock<std::mutex> lk(m_);
  const uint64_t allowed = pending > 0 ? static_cast<uint64_t>(pending) : 0;
  cv_.wait(lk, [this, allowed] { return asked_ - done_ <= allowed; });
  return error_;
}

int WalSyncer::WaitDurable(int pending, ErrorDetail& err) {
  const int failed = WaitDurable(pending);
  if (failed == 0) return kOk;
  return SetError(err, kLostConnection,
                  std::string("the database's log could not be synced to disk: ") +
                      std::strerror(failed));
}

long WalSyncer::SyncsDone() { return g_syncs.load(); }
long WalSyncer::SyncCpuMicros() { return g_sync_cpu_us.load(); }
long WalSyncer::CommitsSynced() { return g_commits_synced.load(); }

void WalSyncer::Run() {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    cv_.wait(lk, [this] { return stop_ || asked_ > done_; });
    if (asked_ == done_) return;  // stopped, nothing left to sync
    const uint64_t target = asked_;
    lk.unlock();
    const long cpu = ThreadCpuMicros();
    const int err = SyncOnce();
    g_sync_cpu_us += ThreadCpuMicros() - cpu;
    lk.lock();
    if (err != 0 && error_ == 0) error_ = err;
    if (err == 0) g_commits_synced += static_cast<long>(target - done_);
    done_ = target;
    cv_.notify_all();
  }
}

int WalSyncer::SyncOnce() {
  // The log stays the same file while the connection that writes it is open (the engine
  // removes it only when the last connection closes): it is opened once.
  if (fd_ < 0 && (fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) < 0)
    return errno;
  if (::fdatasync(fd_) != 0) return errno;
  ++g_syncs;
  return 0;
}

}  // namespace pvc
