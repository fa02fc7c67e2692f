// The entry of the whole program, below main or wmain.
#pragma once

// The whole run of the program: start-up, the command line and the chosen mode. Returns the
// exit status of a run that completed.
int runMorvane(int argc, const char* const* argv);
