#include "run/Driver.h"

#include <csignal>
#include <cstdio>

#include "run/Night.h"
#include "run/RunControl.h"

int Run_Main(int argc, char** argv) {
  // A closed standard output ends no run, the usage's included.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 4) {
    std::fputs(kUsageText, stdout);
    return 0;
  }
  NightRequest request;
  // Kept whole: a cut path would name another file.
  request.settings = argv[1];
  request.variant = argv[2];
  request.log_switch = argv[3];
  // A night that finds another run in its working directory outwaits a preview, and refuses
  // when the other run goes on longer.
  request.lock_wait_s = kNightLockWaitSeconds;
  // The job's exit code is 0 on every path: how the night went shows in the run log.
  (void)Night_Run(request);
  return 0;
}
