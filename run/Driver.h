// The program entry of the job.
#pragma once

// Runs the job with the process's arguments (argv[1] settings file, argv[2] output variant,
// argv[3] logging switch; further ones are ignored). Fewer than three parameters print the
// usage text and nothing else happens. Otherwise: sets RunFlags, opens the run log
// "parvek.log" in the working directory, writes the start time stamp, reads LOGIN, PASS,
// NET8 and SCHEMA from the settings file, connects and, when connected, runs the day scan.
// A failed connect is logged (password masked) and reported in one line on standard error.
// Returns the exit code, which is 0 on every path.
int Run_Main(int argc, char** argv);
