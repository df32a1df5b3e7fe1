#pragma once
// The process's start-up, message loop and shutdown.

// Runs the host from start-up to the end of shutdown; returns the exit code.
int RunHost();
