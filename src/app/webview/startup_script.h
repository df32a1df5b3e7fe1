#pragma once
// The script the host runs in every new document before the page's own scripts: it hands an
// app-origin document the bridge's port, token and identities, and copies its console to the host.
#include <string>

// Two immediately invoked functions: the globals, then the console bridge. Every string value
// is written as a JSON string literal, so no value can end the literal early.
std::string BuildStartupScript(int wsPort, const std::string& token, const std::string& installationId,
                               const std::string& sessionHandle);
