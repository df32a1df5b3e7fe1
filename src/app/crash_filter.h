#pragma once
// The process's last words on a fatal signal.

// Installs the crash filter for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT: it writes its
// "[CRASH]" lines without taking any lock, then lets the signal kill the process as before.
void InstallCrashFilter();
