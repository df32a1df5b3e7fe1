#pragma once
// The host's command line, read on the main thread before anything else runs (no log, no data
// folder, no window yet). Options that only answer a question (--help, --version) and mistakes
// end the process here, so none of them starts the host or writes anything to disk.
#include <optional>

// The exit code when the command line is answered without running the host (0 after --help or
// --version, 2 after a mistake, with the usage on stderr); nothing when the host should run.
std::optional<int> AnswerCommandLine(int argc, char** argv);
