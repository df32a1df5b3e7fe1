#pragma once
// Start-up helpers of the host: the bridge token and the package-identity probe.
#include <string>

// 32 random bytes as 64 lowercase hex characters; "" when the random source fails.
std::string MakeNativeWsToken();

// Whether the process runs with a package identity; never on this platform (logged only).
bool HasPackageIdentity();
