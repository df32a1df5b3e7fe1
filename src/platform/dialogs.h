#pragma once
// Message boxes (and, later, file dialogs) on the desktop through zenity. Without a display a
// message box is only logged and a question is answered "no".
#include <string>

namespace platform {

enum class MessageBoxKind { Error, Warning, Info, Question };

// Blocks until the user answers; true for OK / Yes.
bool ShowMessageBox(const std::string& caption, const std::string& text, MessageBoxKind kind);

}  // namespace platform
