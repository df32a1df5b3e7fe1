// The page's request envelope through the dispatcher and its rows. Rows that would touch the
// machine (files, the desktop) are replaced by recording fakes; replies go to a counting outlet.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bridge/rpc_dispatch.h"
#include "fuzz_support.h"

namespace {

RpcDispatch& Dispatcher() {
  static RpcDispatch* dispatch = [] {
    auto outlet = std::make_shared<RpcOutlet>(RpcOutlet::Target{
        [](const std::string& text) { return !text.empty(); },
        [](const uint8_t*, size_t length) { return length > 0; },
        [] { return uint64_t{1}; }});
    RpcDispatch::Options options;
    options.registry = &fuzzsupport::FreshRegistry();
    options.wallClock = [] { return fuzzsupport::kNow * 1000; };
    options.openExternal = [](const std::string& url) { return !url.empty(); };
    options.revealInFolder = [](const std::string& path) { return !path.empty(); };
    auto* d = new RpcDispatch(outlet, nullptr, std::move(options));
    d->routes().Register({"appendFileChunk", "shareFile"},
                         [](const RpcRequest& r) { r.Reply({{"recorded", r.payload.size()}}); });
    return d;
  }();
  return *dispatch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As the host's page connection hands it over: the dispatcher may borrow the text's buffer.
  std::string text(reinterpret_cast<const char*>(data), size);
  Dispatcher().HandleMessageInPlace(text);
  return 0;
}
