#include "platform/http.h"

#include "base/never_destroyed.h"
#include "platform/module_loader.h"

namespace platform {
namespace {

ModuleSlot<HttpEngine>& Slot() {
  static base::NeverDestroyed<ModuleSlot<HttpEngine>> slot(kHttpEngineModule, kHttpEngineEntry);
  return *slot;
}

}  // namespace

void InstallHttpEngineLoader(std::function<const HttpEngine*(std::string* error)> loader) {
  Slot().Install(std::move(loader));
}

const HttpEngine* LoadHttpEngineModule(const std::string& file, std::string* error) {
  return Slot().LoadFile(file, error);
}

HttpResult HttpRequest(const std::string& url, const HttpRequestOptions& options) {
  std::string error;
  if (const HttpEngine* engine = Slot().Get(&error)) return engine->Request(url, options);
  HttpResult result;
  result.error = "HTTP engine unavailable: " + error;
  return result;
}

std::string ResolveUrl(const std::string& base, const std::string& reference) {
  const HttpEngine* engine = Slot().Get(nullptr);
  return engine ? engine->ResolveUrl(base, reference) : std::string();
}

std::string AppendQueryParameter(const std::string& url, const std::string& name, const std::string& value) {
  const HttpEngine* engine = Slot().Get(nullptr);
  return engine ? engine->AppendQueryParameter(url, name, value) : std::string();
}

std::string UrlScheme(const std::string& url) {
  const HttpEngine* engine = Slot().Get(nullptr);
  return engine ? engine->UrlScheme(url) : std::string();
}

}  // namespace platform
