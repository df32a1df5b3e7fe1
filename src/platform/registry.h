#pragma once
// Read-only access to a settings registry of hives, keys and typed values, as the vendor-SDK
// search reads it. This platform has no system registry: SystemRegistry() is empty. Tests use
// InMemoryRegistry. Reads may come from any thread; an InMemoryRegistry is filled before use.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace platform::registry {

enum class Hive { CurrentUser, LocalMachine };
enum class View { Default, Registry64, Registry32 };
enum class ValueType { String, ExpandString, Other };

struct Value {
  ValueType type = ValueType::String;
  std::string data;  // UTF-8
};

class Registry {
 public:
  virtual ~Registry() = default;
  // The value (name "" is the key's default value), or nothing when the key or value is absent.
  virtual std::optional<Value> Read(Hive hive, View view, const std::string& key, const std::string& name) const = 0;
  // The names of the key's direct subkeys, in the registry's order; empty when the key is absent.
  virtual std::vector<std::string> Subkeys(Hive hive, View view, const std::string& key) const = 0;
};

// The machine's registry: none on this platform.
const Registry& SystemRegistry();

// Keys compare case-insensitively (ASCII), as the system's do. A value set under View::Default
// is seen from every view.
class InMemoryRegistry : public Registry {
 public:
  void Set(Hive hive, View view, const std::string& key, const std::string& name, Value value);
  std::optional<Value> Read(Hive hive, View view, const std::string& key, const std::string& name) const override;
  std::vector<std::string> Subkeys(Hive hive, View view, const std::string& key) const override;

 private:
  using KeyId = std::tuple<Hive, View, std::string>;  // key lowercased
  std::map<KeyId, std::map<std::string, Value>> values_;
  std::map<KeyId, std::vector<std::string>> subkeys_;  // as first spelled, in insertion order
};

}  // namespace platform::registry
