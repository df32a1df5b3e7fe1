#include "platform/module_loader.h"

#include <dlfcn.h>

#include "platform/paths.h"

namespace platform {

void* LoadModuleEntry(const std::string& file, const char* entry, std::string* error) {
  // Never closed: what the module's object hands out points into the module's code.
  void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    if (error) *error = dlerror();
    return nullptr;
  }
  void* address = dlsym(module, entry);
  if (!address && error) *error = file + ": no " + entry;
  return address;
}

std::string ModuleBesideExecutable(const char* file) { return JoinPath(ExecutableDir(), file); }

}  // namespace platform
