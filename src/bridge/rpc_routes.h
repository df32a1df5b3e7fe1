#pragma once
// The dispatcher's route table: request type -> row. Each subsystem registers its own rows at
// start-up (its RegisterRows function, called by the composition root), so no file holds every
// request type. A type registered again replaces the earlier row: the placeholder rows of
// subsystems still to come are registered first and give way to the real ones.
//
// Threads: rows are registered on the UI thread before the page connects; afterwards the table
// is only read, by the UI connection's thread.
#include <functional>
#include <initializer_list>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "bridge/rpc_outlet.h"

// One page request as a row sees it. Replies go to the outlet, which a worker may keep.
struct RpcRequest {
  const nlohmann::json& id;
  const std::string& type;
  const nlohmann::json& payload;
  const RpcOutletPtr& outlet;

  void Reply(const nlohmann::json& data) const;
  void ReplyError(const std::string& error) const;
  // The answer of a type no row handles.
  void ReplyNotImplemented() const;
};

class RpcRouteTable {
 public:
  using Row = std::function<void(const RpcRequest&)>;
  void Register(std::initializer_list<const char*> types, const Row& row);
  // The row for type, or null.
  const Row* Find(const std::string& type) const;

 private:
  std::unordered_map<std::string, Row> rows_;
};

// Builds {"id": id, key: value} compact with sorted keys; key is "data" or "error".
std::string MakeRpcReply(const nlohmann::json& id, const char* key, const nlohmann::json& value);
