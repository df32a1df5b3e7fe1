#pragma once
// Pure checks and look-ups a plugin launch makes before anything is started: the two address
// rules for the sources a realtime plugin may be pointed at (a console on the local network, a
// shared-memory telemetry channel), the search for a Python interpreter, and the merge of the
// child's own variables into the environment it inherits.
//
// Threads: any; nothing here keeps state. The interpreter search reads the disk and the given
// registry on every call.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"

namespace plugins {

// A dotted IPv4 console address: four fields of 1-3 digits (leading zeros allowed) up to 255,
// the first 1..223 (no multicast or reserved), the last not 255, no port, scope or path.
bool IsGt7ConsoleAddress(const std::string& value);
// "\\.\Telemetry\<host>\<channel>" with a host name and a channel name as below.
bool IsBmsTelemetryUrl(const std::string& value);
// ASCII letters, digits, '-', '_' and '.', 1..253 bytes, alphanumeric at both ends; a value
// shaped like a dotted IPv4 address must also be a valid console address.
bool IsTelemetryHostName(const std::string& host);
// Valid UTF-8 of at most 128 code points, neither "." nor "..", without control characters,
// slashes, DEL, C1 controls or surrogates.
bool IsTelemetryChannelName(const std::string& channel);

// Where the interpreter search looks. The defaults are this machine's; tests give their own.
struct InterpreterSearchPlaces {
  std::string path;                                        // a PATH value, searched for "python3"
  std::vector<std::string> installFolders;                 // then "<folder>/python3" in this order
  const platform::registry::Registry* registry = nullptr;  // then the PythonCore keys; null: the system's
};
InterpreterSearchPlaces DefaultInterpreterSearchPlaces();

// The first executable regular file found, or "".
std::string FindPythonInterpreter(const InterpreterSearchPlaces& places);
std::string FindPythonInterpreter();
// The newest interpreter registered under one hive's PythonCore key ("" when none): versions are
// ranked by an ordinal comparison of their names, as the registry lists them.
std::string FindPythonCoreInterpreter(const platform::registry::Registry& registry, platform::registry::Hive hive,
                                      platform::registry::View view,
                                      const std::function<bool(const std::string&)>& isFile);

using EnvironmentPairs = std::vector<std::pair<std::string, std::string>>;
// The child's whole environment: the parent's "NAME=value" entries in their order, less those
// whose name equals one of the pairs' names ignoring ASCII case, then the pairs in their order.
std::vector<std::string> BuildEnvironmentBlock(const EnvironmentPairs& pairs, const std::vector<std::string>& parent);

}  // namespace plugins
