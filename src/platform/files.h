#pragma once
// Whole-file reads and crash-safe writes, and the words for a failed open. Stateless: any
// thread; every descriptor opened here is closed before the call returns.
#include <cstddef>
#include <string>

namespace platform {

// Reads the whole file; false when it cannot be opened or read, is not a regular file or is
// larger than maxBytes. The open never waits (a FIFO planted at the path fails at once).
bool ReadFile(const std::string& path, std::string* out, size_t maxBytes = size_t(1) << 30);

// Whether a file may be trusted for content that the host runs (web packs): a regular file
// owned by this user or by root and writable by no one else. whyNot says what is wrong.
struct FileTrust {
  bool trusted = false;
  std::string whyNot;  // "not a regular file", "owned by another user", "writable by others"
};

// Reads the whole file like ReadFile, but only when the opened file itself (not whatever the
// path names a moment later) is trusted in the sense above.
bool ReadTrustedFile(const std::string& path, std::string* out, size_t maxBytes, FileTrust* trust);

// Writes data to a temporary file in the same folder, flushes it and renames it over path,
// so readers see the old or the new content, never a part. The file gets the given mode.
// durable = false skips the flush to the disk: for files that are rewritten whenever they
// differ, so a crash that tears one costs only the next write.
bool WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode = 0644, bool durable = true);

// Writes every byte to the descriptor, retrying short writes and interruptions.
bool WriteAll(int fd, const void* data, size_t length);

// Appends to a file (created 0644, emptied first when truncate is set). The open never waits
// for a reader, so a FIFO without one fails at once instead of blocking the caller.
struct FileAppendResult {
  int openError = 0;  // errno of a failed open, 0 when it opened
  bool ok = false;    // opened, written and closed
};
FileAppendResult AppendToFile(const std::string& path, const void* data, size_t length, bool truncate);

// True when the path names something that exists.
bool PathExists(const std::string& path);

// What a failed open of a file means to its user, in words ("no such file or folder", "is a
// folder", "permission denied", ...), for the error numbers a user can act on; "" for any other.
std::string FileErrorCause(int errnoValue);
// An error text with its cause: text + ": " + cause, or text alone when cause is "".
std::string WithCause(const std::string& text, const std::string& cause);

}  // namespace platform
