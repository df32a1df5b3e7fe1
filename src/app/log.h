#pragma once
// The one log call of the whole program, the log file and the crash filter.
#include <string>

// printf-style; every caller passes its own "[tag] " prefix and trailing "\n".
// Returns what the write to standard output returned.
int LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Redirects standard output to "Quorvane.log" beside the executable, else in the per-user
// data folder; truncates it, writes a BOM and the first line. Without either folder,
// standard output stays as it is.
void SetupLogFile();

// The path SetupLogFile chose, or "" when there is no log file.
std::string LogFilePath();

// Installs the crash filter for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT: it writes its
// "[CRASH]" lines without taking any lock, then lets the signal kill the process as before.
void InstallCrashFilter();
