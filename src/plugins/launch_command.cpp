#include "plugins/launch_command.h"

#include <sys/stat.h>

#include <algorithm>

#include "base/log.h"
#include "plugins/signed_manifest.h"

namespace {

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool IsArgumentAcceptable(const std::string& arg) {
  if (arg.empty() || arg.size() > kMaxLaunchArgBytes) return false;
  return std::none_of(arg.begin(), arg.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

// A package file must be the regular file itself: a symlink could point out of the package.
bool IsRegularPackageFile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

ResolvedLaunch Failed(ResolvedLaunch r, const char* error) {
  r.error = error;
  r.argv.clear();
  return r;
}

}  // namespace

std::string PackageRelativePath(const std::string& packageFolder, const std::string& relative) {
  std::string rel = relative;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  if (packageFolder.empty()) return rel;
  if (packageFolder.back() == '/') return packageFolder + rel;
  return packageFolder + "/" + rel;
}

ResolvedLaunch ResolveLaunchCommand(const std::string& packageFolder, const LaunchSpec& plan,
                                    const std::string& capability, const std::string& systemPython) {
  ResolvedLaunch r;
  if (capability != "decode" && capability != "realtime") return Failed(r, "capability rejected");
  r.transport = plan.transport.empty() ? DefaultTransportFor(capability) : plan.transport;
  if (capability == "decode" && r.transport != "stdio") return Failed(r, "decode transport");
  if (capability == "realtime" && r.transport != "ws" && r.transport != "stdio") return Failed(r, "transport rejected");

  const bool executableLaunch = !plan.executable.empty();
  const bool interpreterLaunch = !plan.interpreter.empty() || plan.legacySystemInterpreter;
  if (executableLaunch == interpreterLaunch || (interpreterLaunch && plan.script.empty())) {
    return Failed(r, "launch rejected");
  }
  if (plan.args.size() > kMaxLaunchArgs || !std::all_of(plan.args.begin(), plan.args.end(), IsArgumentAcceptable)) {
    return Failed(r, "argument rejected");
  }
  // Any regular file in the package may be the program on this platform (no ".exe" rule); the
  // store makes the signed launch programs runnable when it extracts them.
  if (executableLaunch) {
    if (!IsSafeRelativePath(plan.executable)) return Failed(r, "path rejected");
    r.argv.push_back(PackageRelativePath(packageFolder, plan.executable));
  } else {
    if (!plan.legacySystemInterpreter && plan.kind != "python") return Failed(r, "launch rejected");
    if (!IsSafeRelativePath(plan.script)) return Failed(r, "path rejected");
    std::string interpreter = systemPython;
    if (!plan.legacySystemInterpreter) {
      if (!IsSafeRelativePath(plan.interpreter)) return Failed(r, "path rejected");
      interpreter = PackageRelativePath(packageFolder, plan.interpreter);
    }
    if (interpreter.empty()) return Failed(r, "interpreter missing");
    r.argv = {interpreter, "-E", "-B", PackageRelativePath(packageFolder, plan.script)};
  }
  r.argv.insert(r.argv.end(), plan.args.begin(), plan.args.end());
  r.workingDirectory = packageFolder;

  const bool programThere = plan.legacySystemInterpreter ? IsRegularFile(r.argv[0]) : IsRegularPackageFile(r.argv[0]);
  if (!programThere) return Failed(r, plan.legacySystemInterpreter ? "interpreter missing" : "executable missing");
  if (interpreterLaunch && !IsRegularPackageFile(r.argv[3])) return Failed(r, "executable missing");
  return r;
}

std::string QuoteWindowsArgument(const std::string& argument) {
  if (argument.empty()) return "\"\"";
  if (argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out += c;
    backslashes = 0;
  }
  out.append(2 * backslashes, '\\');
  out += '"';
  return out;
}

std::string BuildWindowsCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i) line += ' ';
    line += QuoteWindowsArgument(arguments[i]);
  }
  return line;
}

LaunchFailure ClassifyLaunchFailure(const std::string& text) {
  LaunchFailure f{"", text};
  std::string lower = text;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  if (lower.find("\"error\":\"bms_live_link\"") != std::string::npos) {
    f.code = "bms_live_link";
  } else if (lower.find("bms_no_time_axis") != std::string::npos) {
    f.code = "bms_no_time_axis";
  } else if (lower.find("bms_no_channels") != std::string::npos) {
    f.code = "bms_no_channels";
  } else if (text == "interpreter missing") {
    f.code = "plugin_update_required";
    f.message = "system Python was not found via the py launcher or the registry";
  } else if (text == "launch rejected" || text == "argument rejected" || text == "path rejected" ||
             text == "decode transport" || text == "transport rejected" || StartsWith(text, "plugin launch invalid:")) {
    f.code = "launch_spec_invalid";
  } else if (StartsWith(text, "launch missing:") || text == "manifest has no launch") {
    f.code = "launch_missing";
  } else if (text == "permission rejected" || StartsWith(text, "launch permission denied:")) {
    f.code = "launch_permission_denied";
  } else if (text == "package manifest mismatch" || text == "package manifest invalid") {
    f.code = "package_manifest_mismatch";
  } else if (StartsWith(text, "package signature") || text == "package hash mismatch" || text == "package tampered") {
    f.code = "package_signature_invalid";
  } else if (text == "platform rejected") {
    f.code = "platform_rejected";
  } else if (text == "signed launch mismatch") {
    f.code = "launch_manifest_mismatch";
  } else if (text == "capability rejected") {
    f.code = "launch_capability_denied";
  } else if (text == "executable missing") {
    f.code = "launch_executable_missing";
  }
  LogLaunchRejected(text);
  return f;
}

std::string LogLaunchRejected(const std::string& reason) {
  if (!reason.empty()) LogPrintf("[plugin] launch rejected: %s\n", reason.c_str());
  return reason;
}
