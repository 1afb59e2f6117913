#include "run/Driver.h"

#include <csignal>
#include <cstdio>

#include "run/Night.h"
#include "run/ground/RunControl.h"

int Run_Main(int argc, char** argv) {
  // A closed standard output ends no run, the usage's included.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 4) {
    std::fputs(kUsageText, stdout);
    return 0;
  }
  // The settings file's path is kept whole: a cut path would name another file.
  NightContext night = Night_Context(argv[1], argv[2], argv[3]);
  // A night that finds another run in its working directory outwaits a preview, and refuses
  // when the other run goes on longer.
  night.lock_wait_s = kNightLockWaitSeconds;
  // The job's exit code is 0 on every path: how the night went shows in the run log.
  (void)Night_Run(night);
  return 0;
}
