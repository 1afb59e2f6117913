// The program entry of the job.
#pragma once

// Runs the job with the process's arguments (argv[1] settings file, argv[2] output variant,
// argv[3] logging switch; further ones are ignored): a night of the database's yesterday in the
// working directory (Night_Run, run/Night.h). Fewer than three parameters print the usage text
// and nothing else happens. Returns the exit code, which is 0 on every path.
int Run_Main(int argc, char** argv);
