#pragma once
// Where the host keeps its files: the executable's folder, the per-user data folder, temp.
#include <string>
#include <vector>

namespace platform {

// Full path of the running executable, or "" when it cannot be read.
std::string ExecutablePath();
// The folder holding the executable ("." when the path has no folder part).
std::string ExecutableDir();
// The per-user application data folder (the LocalAppData equivalent): $XDG_DATA_HOME,
// else $HOME/.local/share; "" when neither can be resolved.
std::string LocalAppDataDir();
// Where LocalAppDataDir looks, in the words a user sets it with.
inline constexpr const char kLocalAppDataRule[] = "$XDG_DATA_HOME, else $HOME/.local/share";
// $TMPDIR or /tmp.
std::string TempDir();
// mkdir of one level with the given mode; an existing folder counts as success.
bool CreateDirectory(const std::string& path, unsigned mode = 0700);
// Creates every missing level of path.
bool CreateDirectories(const std::string& path, unsigned mode = 0700);
// The names in a folder (not "." or ".."), in the order the file system gives; empty when it
// cannot be read.
std::vector<std::string> ListDirectory(const std::string& path);
// a + "/" + b without doubling the separator.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace platform
