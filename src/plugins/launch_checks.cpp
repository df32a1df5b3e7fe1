#include "plugins/launch_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/strings.h"

namespace plugins {
namespace reg = platform::registry;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Digits and dots only, exactly three dots, each after a digit, and a digit after the last.
bool LooksLikeDottedAddress(const std::string& host) {
  int dots = 0;
  for (size_t i = 0; i < host.size(); ++i) {
    if (host[i] == '.') {
      if (i == 0 || !IsDigit(host[i - 1])) return false;
      ++dots;
    } else if (!IsDigit(host[i])) {
      return false;
    }
  }
  return dots == 3 && !host.empty() && IsDigit(host.back());
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

bool IsGt7ConsoleAddress(const std::string& value) {
  if (value.empty() || value.size() > 64) return false;
  if (value.find_first_of("/%:") != std::string::npos) return false;
  int fields[4] = {};
  size_t pos = 0;
  for (int field = 0; field < 4; ++field) {
    if (field > 0) {
      if (pos >= value.size() || value[pos] != '.') return false;
      ++pos;
    }
    size_t digits = 0;
    int number = 0;
    while (pos < value.size() && IsDigit(value[pos])) {
      if (++digits > 3) return false;
      number = number * 10 + (value[pos] - '0');
      ++pos;
    }
    if (digits == 0 || number > 255) return false;
    fields[field] = number;
  }
  if (pos != value.size()) return false;
  return fields[0] >= 1 && fields[0] <= 223 && fields[3] != 255;
}

bool IsTelemetryHostName(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  if (!IsAlnum(host.front()) || !IsAlnum(host.back())) return false;
  for (char c : host) {
    if (!IsAlnum(c) && c != '-' && c != '_' && c != '.') return false;
  }
  if (LooksLikeDottedAddress(host)) return IsGt7ConsoleAddress(host);
  return true;
}

bool IsTelemetryChannelName(const std::string& channel) {
  if (channel.empty() || channel == "." || channel == "..") return false;
  size_t codePoints = 0;
  for (size_t i = 0; i < channel.size();) {
    const auto lead = static_cast<unsigned char>(channel[i]);
    uint32_t value = 0;
    size_t continuation = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      value = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      value = lead & 0x1Fu;
      continuation = 1;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      value = lead & 0x0Fu;
      continuation = 2;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      value = lead & 0x07u;
      continuation = 3;
      minimum = 0x10000;
    } else {
      return false;
    }
    if (channel.size() - i - 1 < continuation) return false;
    for (size_t k = 1; k <= continuation; ++k) {
      const auto byte = static_cast<unsigned char>(channel[i + k]);
      if (byte < 0x80 || byte > 0xBF) return false;
      value = (value << 6) | (byte & 0x3Fu);
    }
    if (value < minimum) return false;
    const bool allowed = (value >= 0x20 && value <= 0x5B && value != 0x2F) || (value >= 0x5D && value <= 0x7E) ||
                         (value >= 0xA0 && value <= 0xD7FF) || (value >= 0xE000 && value <= 0x10FFFF);
    if (!allowed) return false;
    if (++codePoints > 128) return false;
    i += continuation + 1;
  }
  return true;
}

bool IsBmsTelemetryUrl(const std::string& value) {
  static const std::string kPrefix = "\\\\.\\Telemetry\\";
  if (value.size() < 17 || value.size() > 780) return false;
  if (value.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const std::string rest = value.substr(kPrefix.size());
  const size_t slash = rest.find('\\');
  if (slash == std::string::npos || slash == 0) return false;
  if (rest.find('\\', slash + 1) != std::string::npos) return false;
  return IsTelemetryHostName(rest.substr(0, slash)) && IsTelemetryChannelName(rest.substr(slash + 1));
}

InterpreterSearchPlaces DefaultInterpreterSearchPlaces() {
  InterpreterSearchPlaces places;
  if (const char* path = std::getenv("PATH")) places.path = path;
  places.installFolders = {"/usr/local/bin", "/usr/bin"};
  return places;
}

std::string FindPythonCoreInterpreter(const reg::Registry& registry, reg::Hive hive, reg::View view,
                                      const std::function<bool(const std::string&)>& isFile) {
  static const std::string kCore = "Software\\Python\\PythonCore";
  std::string kept;
  std::string keptVersion;
  bool haveKept = false;
  for (const std::string& version : registry.Subkeys(hive, view, kCore)) {
    const std::string installPath = kCore + "\\" + version + "\\InstallPath";
    std::string candidate;
    if (auto exe = registry.Read(hive, view, installPath, "ExecutablePath");
        exe && exe->type == reg::ValueType::String && isFile(exe->data)) {
      candidate = exe->data;
    } else if (auto folder = registry.Read(hive, view, installPath, "")) {
      const std::string python = folder->data + "/python3";
      if (isFile(python)) candidate = python;
    }
    if (candidate.empty()) continue;
    // Ordinal, as the names are listed: "3.9" ranks above "3.12".
    if (!haveKept || Utf8ToWide(keptVersion) < Utf8ToWide(version)) {
      kept = candidate;
      keptVersion = version;
      haveKept = true;
    }
  }
  return kept;
}

std::string FindPythonInterpreter(const InterpreterSearchPlaces& places) {
  size_t start = 0;
  while (start <= places.path.size()) {
    size_t end = places.path.find(':', start);
    if (end == std::string::npos) end = places.path.size();
    const std::string folder = places.path.substr(start, end - start);
    // An empty or relative PATH entry would name the host's working folder: never trusted.
    if (!folder.empty() && folder.front() == '/' && IsExecutableFile(folder + "/python3")) return folder + "/python3";
    start = end + 1;
  }
  for (const std::string& folder : places.installFolders) {
    if (IsExecutableFile(folder + "/python3")) return folder + "/python3";
  }
  const reg::Registry& registry = places.registry ? *places.registry : reg::SystemRegistry();
  const std::pair<reg::Hive, reg::View> order[] = {{reg::Hive::CurrentUser, reg::View::Default},
                                                   {reg::Hive::LocalMachine, reg::View::Default},
                                                   {reg::Hive::CurrentUser, reg::View::Registry32},
                                                   {reg::Hive::LocalMachine, reg::View::Registry32}};
  for (const auto& [hive, view] : order) {
    std::string found = FindPythonCoreInterpreter(registry, hive, view, IsExecutableFile);
    if (!found.empty()) return found;
  }
  return "";
}

std::string FindPythonInterpreter() { return FindPythonInterpreter(DefaultInterpreterSearchPlaces()); }

std::vector<std::string> BuildEnvironmentBlock(const EnvironmentPairs& pairs, const std::vector<std::string>& parent) {
  std::vector<std::string> block;
  block.reserve(parent.size() + pairs.size());
  for (const std::string& entry : parent) {
    const size_t equals = entry.find('=');
    bool replaced = false;
    if (equals != std::string::npos) {
      const std::string name = entry.substr(0, equals);
      for (const auto& pair : pairs) {
        if (EqualsIgnoringAsciiCase(name, pair.first)) {
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) block.push_back(entry);
  }
  for (const auto& [name, value] : pairs) block.push_back(name + "=" + value);
  return block;
}

}  // namespace plugins
