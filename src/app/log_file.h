#pragma once
// The choice of the log file's folder at start-up (UI thread, before any other thread runs).

// Redirects standard output to "Quorvane.log" beside the executable, else in the per-user
// data folder; truncates it, writes a BOM and the first line. Without either folder,
// standard output stays as it is.
void SetupLogFile();
