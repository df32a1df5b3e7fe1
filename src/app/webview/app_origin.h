#pragma once
// The one origin the host serves the web UI under: an https origin (a secure context) whose host
// lies under the reserved .invalid domain, so no real server can ever answer for it.

inline constexpr const char kAppOrigin[] = "https://app.quorvane.invalid";
