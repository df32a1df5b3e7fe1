#include "bridge/rpc_routes.h"

#include <algorithm>

#include "base/json.h"

std::string MakeRpcReply(const nlohmann::json& id, const char* key, const nlohmann::json& value) {
  nlohmann::json reply = nlohmann::json::object();
  reply["id"] = id;
  reply[key] = value;
  return DumpCompact(reply);
}

void RpcRequest::Reply(const nlohmann::json& data) const {
  if (outlet) outlet->SendText(MakeRpcReply(id, "data", data));
}

void RpcRequest::ReplyThenBinary(const nlohmann::json& data, const uint8_t* bytes, size_t length) const {
  if (outlet) outlet->SendTextThenBinary(MakeRpcReply(id, "data", data), bytes, length);
}

void RpcRequest::ReplyError(const std::string& error) const {
  if (outlet) outlet->SendText(MakeRpcReply(id, "error", error));
}

void RpcRequest::ReplyNotImplemented() const { ReplyError("not implemented in qvn_native_win yet: " + type); }

void RpcRouteTable::Register(std::initializer_list<const char*> types, const Row& row, uint64_t largestRequest) {
  for (const char* type : types) rows_[type] = row;
  largestRequest_ = std::max(largestRequest_, largestRequest);
}

const RpcRouteTable::Row* RpcRouteTable::Find(const std::string& type) const {
  auto it = rows_.find(type);
  return it == rows_.end() ? nullptr : &it->second;
}
