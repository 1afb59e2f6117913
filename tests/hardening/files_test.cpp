// Files the job cannot write: a working directory that is not writable, a run log that cannot
// be opened, a parameter file that cannot be created, and a full disk under the parameter
// file. The night's database work is done in every case and the exit code is 0; what could not
// be written is logged where a run log exists.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"

namespace {

namespace fs = std::filesystem;
using hard::Night;

const std::vector<std::string> kBooked{"1|KRF"};

// A small tmpfs mounted for one test (root only); empty `error()` when mounted.
class SmallDisk {
 public:
  SmallDisk(const std::string& where, const char* options, unsigned long flags = 0)
      : where_(where) {
    fs::create_directories(where);
    if (::mount("tmpfs", where.c_str(), "tmpfs", flags, options) == 0) {
      mounted_ = true;
    } else {
      error_ = std::string("cannot mount a tmpfs here (") + std::strerror(errno) + ")";
    }
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  const std::string& error() const { return error_; }

 private:
  std::string where_, error_;
  bool mounted_ = false;
};

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_EQ(
        night_.Setup(pvt::BackendNamed("sqlite"), hard::IllTypes() + hard::IllPerson("P1"), why), 0)
        << why;
  }
  // Runs the job in `cwd` with the settings file of the night named by its absolute path.
  hard::Result RunIn(const std::string& cwd, const std::map<std::string, std::string>& env = {}) {
    return hard::Run(PARVEK_BIN, cwd, {night_.settings_path(), "XXX", "D"}, env, io_.path());
  }
  std::vector<std::string> Booked() { return night_.db().Lines(hard::BookingsOf("P1")); }

  Night night_;
  hard::TempDir io_;
};

TEST_F(Files, WorkingDirectoryNotWritable) {
  const std::string dir = night_.work() / "ro";
  fs::create_directory(dir);
  std::unique_ptr<SmallDisk> ro;
  if (::geteuid() == 0) {
    // Permissions do not stop root: a read-only file system does.
    ro = std::make_unique<SmallDisk>(dir, "size=64k", MS_RDONLY);
    if (!ro->error().empty()) GTEST_SKIP() << ro->error();
  } else {
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  }
  const hard::Result r = RunIn(dir);
  EXPECT_EQ(r.exited, 1);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Booked(), kBooked) << "the database work does not depend on the working directory";
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(Files, RunLogCannotBeOpened) {
  const std::string dir = night_.work() / "w";
  fs::create_directories(dir + "/parvek.log");  // a directory where the run log should be
  const hard::Result r = RunIn(dir);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Booked(), kBooked);
  EXPECT_EQ(hard::ReadFile(dir + "/parvektgb").substr(0, 3), "P1 ");
}

// Root running the job in a directory another user owns (an operator's catch-up in the job's
// working directory) leaves the run log and the parameter file that user's, even where it
// restarts the run log; a link planted there is refused, never written or handed over.
TEST_F(Files, RootInTheJobsDirectoryLeavesItsFilesToTheJobsUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run in another user's directory";
  const std::string dir = night_.work() / "job";
  fs::create_directories(dir);
  ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
  hard::WriteFile(dir + "/parvek.log", std::string(1048577, 'x'));  // past the limit: restarted
  ASSERT_EQ(::chown((dir + "/parvek.log").c_str(), 65534, 65534), 0);
  EXPECT_EQ(RunIn(dir).code, 0);
  for (const char* name : {"/parvek.log", "/parvektgb"}) {
    struct stat st {};
    ASSERT_EQ(::stat((dir + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_uid, 65534u) << name;
    EXPECT_EQ(st.st_gid, 65534u) << name;
  }
  EXPECT_LT(fs::file_size(dir + "/parvek.log"), 1048577u);
  EXPECT_EQ(Booked(), kBooked);

  const std::string victim = night_.work() / "victim";
  hard::WriteFile(victim, "keep\n");
  fs::remove(dir + "/parvektgb");
  ASSERT_EQ(::symlink(victim.c_str(), (dir + "/parvektgb").c_str()), 0);
  EXPECT_EQ(RunIn(dir).code, 0);
  EXPECT_EQ(hard::ReadFile(victim), "keep\n");
  struct stat st {};
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  const std::string log = hard::ReadFile(dir + "/parvek.log");
  EXPECT_EQ(hard::CountLines(log, "Fehler: fopen(parvektgb)!"), 1) << log;
}

TEST_F(Files, ParameterFileCannotBeCreated) {
  const std::string dir = night_.work() / "w";
  fs::create_directories(dir + "/parvektgb");  // a directory where the parameter file should be
  const hard::Result r = RunIn(dir, {{"PARVEK_DBG", ""}});
  EXPECT_EQ(r.code, 0);
  const std::string log = hard::ReadFile(dir + "/parvek.log");
  EXPECT_EQ(hard::CountLines(log, "Fehler: fopen(parvektgb)!"), 1) << log;
  EXPECT_EQ(hard::CountLines(log, "Info: Buchung eingepflegt! RC:0 Pnr:P1"), 1) << log;
  EXPECT_EQ(Booked(), kBooked);
  // The parameter line is still printed in the debug output; it is written nowhere.
  EXPECT_NE(r.out.find("Parametersatz in Datei schreiben: P1      ,"), std::string::npos) << r.out;
}

// The parameter file on a device that takes no byte: the write fails and is logged.
TEST_F(Files, ParameterFileOnAFullDevice) {
  const std::string dir = night_.work() / "w";
  fs::create_directories(dir);
  fs::create_symlink("/dev/full", dir + "/parvektgb");
  const hard::Result r = RunIn(dir);
  EXPECT_EQ(r.code, 0);
  const std::string log = hard::ReadFile(dir + "/parvek.log");
  EXPECT_EQ(hard::CountLines(log, "Fehler: fputs(parvektgb)!"), 1) << log;
  EXPECT_EQ(Booked(), kBooked);
}

// The parameter file on a small file system that is full; the run log lives elsewhere.
TEST_F(Files, ParameterFileOnAFullDisk) {
  const std::string dir = night_.work() / "disk";
  SmallDisk disk(dir, "size=64k");
  if (!disk.error().empty()) GTEST_SKIP() << disk.error();
  {
    std::FILE* filler = std::fopen((dir + "/filler").c_str(), "w");
    ASSERT_NE(filler, nullptr);
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);
  }
  const std::string log_path = night_.work() / "elsewhere.log";
  hard::WriteFile(log_path, "");
  fs::create_symlink(log_path, dir + "/parvek.log");
  const hard::Result r = RunIn(dir);
  EXPECT_EQ(r.code, 0);
  const std::string log = hard::ReadFile(log_path);
  EXPECT_EQ(hard::CountLines(log, "Fehler: fputs(parvektgb)!"), 1) << log;
  EXPECT_EQ(Booked(), kBooked);
}

// A run log on a full device: entries are lost, the night's work is not.
TEST_F(Files, RunLogOnAFullDevice) {
  const std::string dir = night_.work() / "w";
  fs::create_directories(dir);
  fs::create_symlink("/dev/full", dir + "/parvek.log");
  const hard::Result r = RunIn(dir);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Booked(), kBooked);
  EXPECT_EQ(hard::ReadFile(dir + "/parvektgb").substr(0, 3), "P1 ");
}

}  // namespace

namespace {

// Standard output closed by its reader (as with "parvek ... | head -c 100"): the job is not
// killed by SIGPIPE, does its night's work and ends with 0.
TEST_F(Files, ClosedStandardOutputDoesNotKillTheJob) {
  pvt::RunOptions options;
  options.env["PARVEK_DBG"] = "1";
  options.stdout_unread = true;
  const pvt::Result r =
      pvt::Run(PARVEK_BIN, night_.work().path(), {"settings.ini", "XXX", "D"}, options);
  EXPECT_EQ(r.signal, 0) << "killed by signal " << r.signal;
  EXPECT_TRUE(r.exited == 1 && r.code == 0);
  EXPECT_EQ(Booked(), kBooked);
  EXPECT_EQ(hard::CountLines(night_.Log(), "Info: TagesSatz aktualisiert! RC:0 Pnr:P1"), 1)
      << night_.Log();
}

}  // namespace
