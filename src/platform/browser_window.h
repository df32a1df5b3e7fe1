#pragma once
// A window record's operations carried out on the browser window that shows its page.
#include <memory>

#include "platform/browser.h"
#include "platform/ui.h"

namespace platform {

std::shared_ptr<ui::WindowBackend> MakeBrowserWindowBackend(std::shared_ptr<BrowserView> view);

}  // namespace platform
