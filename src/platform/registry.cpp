#include "platform/registry.h"

#include <algorithm>

namespace platform::registry {
namespace {

class EmptyRegistry : public Registry {
 public:
  std::optional<Value> Read(Hive, View, const std::string&, const std::string&) const override { return std::nullopt; }
  std::vector<std::string> Subkeys(Hive, View, const std::string&) const override { return {}; }
};

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

const Registry& SystemRegistry() {
  static const EmptyRegistry empty;
  return empty;
}

void InMemoryRegistry::Set(Hive hive, View view, const std::string& key, const std::string& name, Value value) {
  values_[{hive, view, Lower(key)}][Lower(name)] = std::move(value);
  // Every parent lists its child once.
  std::string path = key;
  for (size_t cut = path.rfind('\\'); cut != std::string::npos; cut = path.rfind('\\')) {
    std::string parent = path.substr(0, cut), child = path.substr(cut + 1);
    std::vector<std::string>& list = subkeys_[{hive, view, Lower(parent)}];
    bool known = std::any_of(list.begin(), list.end(), [&](const std::string& s) { return Lower(s) == Lower(child); });
    if (!known) list.push_back(child);
    path = parent;
  }
}

std::optional<Value> InMemoryRegistry::Read(Hive hive, View view, const std::string& key,
                                            const std::string& name) const {
  for (View v : {view, View::Default}) {
    auto k = values_.find({hive, v, Lower(key)});
    if (k == values_.end()) continue;
    auto value = k->second.find(Lower(name));
    if (value != k->second.end()) return value->second;
  }
  return std::nullopt;
}

std::vector<std::string> InMemoryRegistry::Subkeys(Hive hive, View view, const std::string& key) const {
  std::vector<std::string> out;
  for (View v : {view, View::Default}) {
    auto k = subkeys_.find({hive, v, Lower(key)});
    if (k == subkeys_.end()) continue;
    for (const std::string& s : k->second) {
      if (std::none_of(out.begin(), out.end(), [&](const std::string& o) { return Lower(o) == Lower(s); })) {
        out.push_back(s);
      }
    }
    if (v == View::Default) break;
  }
  return out;
}

}  // namespace platform::registry
