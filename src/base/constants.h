#pragma once
// Product constants every layer shares: the app origin, the product folder name and the window
// titles. Plain compile-time text; no state.

// The one origin the host serves the web UI under: an https origin (a secure context) whose host
// lies under the reserved .invalid domain, so no real server can ever answer for it.
inline constexpr const char kAppOrigin[] = "https://app.quorvane.invalid";

// The folder under the per-user data folder that holds everything the host keeps.
inline constexpr const char kProductFolderName[] = "Quorvane";

inline constexpr const char kMainWindowTitle[] = "Quorvane";
// What the desktop knows every host window by (the window class: taskbars group and label by it).
inline constexpr const char kDesktopWindowClass[] = "Quorvane";
inline constexpr const char kDeveloperModeTitle[] = "Quorvane \xE2\x80\x94 PLUGIN DEVELOPER MODE";

// The platform name the host reports to packages, tokens and the page.
inline const char* PluginPlatformName() { return "linux"; }
