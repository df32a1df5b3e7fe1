// What the outgoing viewer client reads from the other instance and from the page: target
// addresses, the token's unverified "addr" list, server frames cut off a buffer fed in pieces,
// and the messages inside them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fed_in_pieces.h"
#include "fuzz_support.h"
#include "remote/out_conn.h"
#include "remote/remote_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes in(data, size);
  const std::string address = in.Take(in.Byte() % 64);
  if (auto target = remote::ParseTargetAddress(address)) {
    if (target->port == 0 || (target->kind != "lan" && target->kind != "vpn")) __builtin_trap();
  }
  remote::TargetFromToken(in.Take(in.Byte() * 4));

  remote::OutConn conn;
  conn.connectionId = "c";
  conn.resume = {{"a", 1}};
  remote::ClientSession session;
  fuzzsupport::FeedInPieces(in, remote::kReadBufferLimit, [&](std::string& buffer) {
    remote::WireFrame frame;
    remote::FrameStatus status;
    while ((status = remote::TakeFrame(buffer, false, &frame)) == remote::FrameStatus::Frame) {
      if (frame.opcode != 1) continue;
      remote::ServerMessageActions actions = remote::HandleServerMessage(conn, session, frame.payload);
      if (actions.connected && !session.helloOk) __builtin_trap();
    }
    return status != remote::FrameStatus::Error;
  });
  return 0;
}
