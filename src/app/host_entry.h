#pragma once
// The process entry: the command line, then what must hold before start-up may begin (a display
// that answers when one is named, a data folder that can be written and is not another
// instance's), then the host. Main thread only; nothing here runs once the host has started
// except the single-instance listener (single_instance.h).

// Returns the process's exit code.
int HostMain(int argc, char** argv);
