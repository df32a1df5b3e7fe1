#pragma once
// Turning a checked launch into a concrete command inside the package's version folder (every
// path confined to the package, every argument bounded), writing an argument list as a Windows
// command line for logs and failure texts, and mapping launch and decode failure texts to the
// page's codes. Children are started from the argv list, never from a command string.
//
// Threads: any. Everything is pure except LogLaunchRejected (the log) and the existence checks of
// ResolveLaunchCommand, which only read file attributes.
#include <string>
#include <vector>

#include "plugins/launch_spec.h"

struct ResolvedLaunch {
  std::string error;              // "" on success
  std::vector<std::string> argv;  // program first; emptied when the final existence check fails
  std::string workingDirectory;   // the package's version folder
  std::string transport;          // "stdio" or "ws"
};

inline constexpr size_t kMaxLaunchArgs = 16;
inline constexpr size_t kMaxLaunchArgBytes = 256;

// Fails with "capability rejected", "decode transport", "transport rejected", "launch rejected",
// "argument rejected", "path rejected", "executable missing" or "interpreter missing".
// systemPython is the interpreter found on the machine, "" when none was.
ResolvedLaunch ResolveLaunchCommand(const std::string& packageFolder, const LaunchSpec& plan,
                                    const std::string& capability, const std::string& systemPython);

// packageFolder joined with relative (whose '\' separators become '/').
std::string PackageRelativePath(const std::string& packageFolder, const std::string& relative);

// One argument as Windows programs split a command line (CommandLineToArgvW's rules). The
// arguments are UTF-8; the rules only look at the ASCII space, tab, quotation mark and backslash,
// which never occur inside a multi-byte UTF-8 sequence.
std::string QuoteWindowsArgument(const std::string& argument);
// Every argument quoted, joined by single spaces.
std::string BuildWindowsCommandLine(const std::vector<std::string>& arguments);

struct LaunchFailure {
  std::string code;     // a snake_case code the page knows, or ""
  std::string message;  // the text shown to the user
};
// Also logs the text (when not empty) as a rejected launch.
LaunchFailure ClassifyLaunchFailure(const std::string& text);

// Logs "[plugin] launch rejected: <reason>" when reason is not empty; returns reason.
std::string LogLaunchRejected(const std::string& reason);
