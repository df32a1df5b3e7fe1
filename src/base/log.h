#pragma once
// The one log call of the whole program. Any thread may log; one process-wide mutex (never
// destroyed, so detached threads may log during exit) keeps lines whole.
#include <string>

// printf-style; every caller passes its own "[tag] " prefix and trailing "\n".
// Returns what the write to standard output returned.
int LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends standard output to path (truncated, unbuffered, starting with a BOM) and remembers it;
// false when it cannot be opened or is not a plain file of this user's (a symlink, a FIFO,
// a file with another name linked to it). Mirrors to standard error when that is a terminal.
bool AttachLogFile(const std::string& path);

// Whether path can be created or truncated for writing under the rule above (it is left empty).
bool ProbeLogFileWritable(const std::string& path);

// The path the log was attached to, or "" when there is no log file.
std::string LogFilePath();
