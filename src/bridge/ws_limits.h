#pragma once
// Every bound the bridge listener puts on its peers, in one place. Constants only; read by the
// listener (accept loop and connection threads), the frame reader and the plugin sessions.
//
// Before a connection has proved itself (the page's token, or a plugin's capability token in its
// hello) any local user may be on the other end, so what it can make the host hold is small and
// counted: one pre-hello message, one header block, a few connections at each stage, each with a
// deadline that counts from a fixed instant and is not restarted by the bytes the peer sends.
// Above a cap the oldest waiting connection is dropped to make room: an honest peer completes
// each stage in milliseconds, so the one that has waited longest is the likeliest to be stalling.
#include <chrono>
#include <cstddef>
#include <cstdint>

// One message (or frame) of an authenticated connection; the page's connection may be given a
// larger limit, sized from the largest request a row accepts (WsServer::SetUiMessageLimit).
inline constexpr uint64_t kWsMaxMessageBytes = 64ull * 1024 * 1024;
// One message (or frame, control frames included) before the hello is accepted. A page hello is
// about a hundred bytes and a plugin hello carries one capability token of a few KiB.
inline constexpr uint64_t kWsMaxPreHelloMessageBytes = 64 * 1024;
// The upgrade request's header block.
inline constexpr size_t kWsMaxHeaderBytes = 65536;

// Connections the kernel completes before the accept thread takes them. A burst of connects
// larger than this has its excess SYNs dropped, which costs an honest client that comes in the
// middle of it a retransmission (a second or more), so it is sized for a burst, not for a page.
inline constexpr int kWsListenBacklog = 64;
// Accepted sockets whose upgrade request is still being read.
inline constexpr size_t kWsMaxPendingHandshakes = 16;
// Page-origin connections that completed the upgrade and have not yet sent an accepted hello.
inline constexpr size_t kWsMaxUiAwaitingHello = 4;
// Plugin connections, with or without their hello (a fourth one is closed after its upgrade).
inline constexpr int kWsMaxPluginConnections = 3;

// From the accept to the end of the upgrade request, however the bytes trickle in.
inline constexpr std::chrono::milliseconds kWsHandshakeTimeout{3000};
// From the upgrade's end to the page's accepted hello.
inline constexpr std::chrono::milliseconds kWsUiHelloTimeout{3000};
// From the upgrade's end to a plugin's hello; a plugin that misses it is closed with 4401.
inline constexpr std::chrono::milliseconds kWsPluginHelloTimeout{1000};
// How often an authenticated plugin session's token is checked again (revocation, expiry),
// whether or not the plugin sends anything.
inline constexpr std::chrono::milliseconds kWsSessionRecheckInterval{5000};

// A connection that received a large message gives its buffers back once this long has passed
// without another, so the memory of a burst of large messages returns while the connection
// stays open, and a steady stream of them keeps reusing the same pages.
inline constexpr std::chrono::milliseconds kWsReleaseBuffersAfter{1000};

// After a message over the limit was refused with close 1009, how long at most the rest of what
// the peer sends is read and dropped before the connection is closed (a close with unread bytes
// resets it, which can lose the close frame on the way), and how long a quiet peer is waited for.
inline constexpr std::chrono::milliseconds kWsRefusedDrainTime{2000};
inline constexpr std::chrono::milliseconds kWsRefusedDrainQuiet{250};

// A send that makes no progress for this long fails, so a peer that stops reading cannot hold a
// sender (and the locks above it) forever.
inline constexpr int kWsSendTimeoutMs = 5000;
