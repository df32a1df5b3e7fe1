// What a remote viewer sends before and after its admission: the upgrade request's header
// lookups, frames cut off a read buffer fed in pieces, and "live.subscribe" arguments.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fed_in_pieces.h"
#include "fuzz_support.h"
#include "remote/remote_listener.h"
#include "remote/remote_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes in(data, size);
  const std::string head = in.Take(in.Byte() * 8);
  remote::FindHeaderValue(head, "Host");
  remote::FindHeaderValue(head, "Sec-WebSocket-Key");
  remote::HasOriginHeader(head);

  fuzzsupport::FeedInPieces(in, remote::kReadBufferLimit, [&](std::string& buffer) {
    remote::WireFrame frame;
    remote::FrameStatus status;
    while ((status = remote::TakeFrame(buffer, true, &frame)) == remote::FrameStatus::Frame) {
      if (frame.opcode != 1) continue;
      const nlohmann::json message = nlohmann::json::parse(frame.payload, nullptr, false);
      if (!message.is_object()) continue;
      auto payload = message.find("payload");
      if (payload == message.end() || !payload->is_object()) continue;
      remote::SubscribeArgs args = remote::ParseSubscribeArgs(*payload);
      if (args.code.empty() && (args.rate < 1 || args.rate > 20 || args.fromSeq < 0)) __builtin_trap();
    }
    return status != remote::FrameStatus::Error;
  });
  return 0;
}
