#pragma once
// The dispatcher's route table: request type -> row. Each subsystem registers its own rows at
// start-up (its RegisterRows function, called by the composition root), so no file holds every
// request type. A type registered again replaces the earlier row: the placeholder rows of
// subsystems still to come are registered first and give way to the real ones.
//
// Threads: rows are registered on the UI thread before the page connects; afterwards the table
// is only read, by the UI connection's thread.
#include <cstdint>
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
  // The reply and then the binary frame it announces, sent together.
  void ReplyThenBinary(const nlohmann::json& data, const uint8_t* bytes, size_t length) const;
  void ReplyError(const std::string& error) const;
  // The answer of a type no row handles.
  void ReplyNotImplemented() const;
};

class RpcRouteTable {
 public:
  using Row = std::function<void(const RpcRequest&)>;
  // largestRequest: the longest request text (the whole message) the row must be able to take,
  // for a row whose requests can exceed the bridge's usual message limit; 0 for the others.
  void Register(std::initializer_list<const char*> types, const Row& row, uint64_t largestRequest = 0);
  // The row for type, or null.
  const Row* Find(const std::string& type) const;
  // The largest request any row named: the page's connection must admit it.
  uint64_t LargestRequestBytes() const { return largestRequest_; }

 private:
  std::unordered_map<std::string, Row> rows_;
  uint64_t largestRequest_ = 0;
};

// Builds {"id": id, key: value} compact with sorted keys; key is "data" or "error".
std::string MakeRpcReply(const nlohmann::json& id, const char* key, const nlohmann::json& value);
