#pragma once
// Modules: shared objects of the host's own that hold a facility whose libraries start-up does
// not need (FFmpeg, libcurl), loaded the first time the facility is used so the host does not
// map them at start. Each exports one C entry point, taking nothing and returning a pointer to
// the facility's object (const T*).
//
// Threads: any thread may ask a slot for its object; the first ask loads under the slot's mutex,
// and every later one returns the same answer (the object, or the same load error).
// Ownership: a loaded module is never unloaded, so its object and everything it hands out stay
// valid for the life of the process.
#include <functional>
#include <mutex>
#include <string>
#include <utility>

namespace platform {

// dlopen of file and the address of its entry point; null with *error saying why (the loader's
// words, or the missing entry).
void* LoadModuleEntry(const std::string& file, const char* entry, std::string* error);
// The path of a module file beside the running executable (the installed layout, and where the
// build puts modules for the tests and benchmarks).
std::string ModuleBesideExecutable(const char* file);

// The object of one module, loaded once. A loader installed before the first use replaces the
// default (the module beside the executable); installing one makes the next use load again.
template <typename T>
class ModuleSlot {
 public:
  using Loader = std::function<const T*(std::string* error)>;

  ModuleSlot(const char* file, const char* entry) : file_(file), entry_(entry) {}

  void Install(Loader loader) {
    std::lock_guard<std::mutex> lock(mutex_);
    loader_ = std::move(loader);
    tried_ = false;
    object_ = nullptr;
    error_.clear();
  }

  // The module's own file beside the executable, through its entry point.
  const T* LoadBesideExecutable(std::string* error) const { return LoadFile(ModuleBesideExecutable(file_), error); }
  const T* LoadFile(const std::string& path, std::string* error) const {
    using Entry = const T* (*)();
    void* entry = LoadModuleEntry(path, entry_, error);
    const T* object = entry ? reinterpret_cast<Entry>(entry)() : nullptr;
    if (entry && !object && error) *error = path + ": " + entry_ + " made nothing";
    return object;
  }

  // The object, loaded on the first call; null with *error when it cannot be loaded.
  const T* Get(std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!tried_) {
      tried_ = true;
      std::string why;
      object_ = loader_ ? loader_(&why) : LoadBesideExecutable(&why);
      if (!object_) error_ = why.empty() ? std::string(file_) + " did not load" : why;
    }
    if (!object_ && error) *error = error_;
    return object_;
  }

 private:
  const char* const file_;
  const char* const entry_;
  std::mutex mutex_;
  Loader loader_;
  bool tried_ = false;
  const T* object_ = nullptr;
  std::string error_;
};

}  // namespace platform
