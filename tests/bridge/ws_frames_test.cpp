#include "bridge/ws_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Header(const std::string& frame, size_t n) { return frame.substr(0, n); }

TEST(WsFrames, EncodeLengthForms) {
  struct Case {
    size_t length;
    std::string header;
  } cases[] = {
      {0, std::string("\x81\x00", 2)},
      {125, "\x81\x7d"},
      {126, std::string("\x81\x7e\x00\x7e", 4)},
      {65535, "\x81\x7e\xff\xff"},
      {65536, std::string("\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
      {(1u << 24) + 5, std::string("\x81\x7f\x00\x00\x00\x00\x01\x00\x00\x05", 10)},
  };
  for (const auto& c : cases) {
    std::string payload(c.length, 'x');
    std::string frame = EncodeWsFrame(kWsText, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    EXPECT_EQ(Header(frame, c.header.size()), c.header) << c.length;
    EXPECT_EQ(frame.size(), c.header.size() + c.length) << c.length;
    EXPECT_EQ(frame.substr(c.header.size()), payload) << c.length;
  }
}

TEST(WsFrames, ClosePayloadCarriesStatusBigEndian) {
  EXPECT_EQ(WsClosePayload(kWsCloseAuth, "E_ROLE_DENIED"), "\x11\x31" "E_ROLE_DENIED");
}

// A client frame as a browser sends it: masked.
std::string Masked(uint8_t first, const std::string& payload) {
  const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string frame(1, static_cast<char>(first));
  if (payload.size() <= 125) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xff);
  }
  frame.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ key[i % 4]);
  return frame;
}

TEST(WsFrames, ReaderTakesMaskedAndUnmaskedFramesInAnyPieces) {
  const std::string big(300, 'q');
  std::string stream = Masked(0x81, "Hello") + EncodeWsFrame(kWsBinary, reinterpret_cast<const uint8_t*>("\x01\x02"), 2) +
                       Masked(0x01, big) + Masked(0x89, "p");
  for (size_t piece : {stream.size(), size_t(1), size_t(3)}) {
    WsFrameReader reader;
    std::vector<WsFrame> frames;
    for (size_t i = 0; i < stream.size(); i += piece) {
      reader.Append(stream.data() + i, std::min(piece, stream.size() - i));
      WsFrame frame;
      WsFrameReader::Status status;
      while ((status = reader.Next(&frame)) == WsFrameReader::Status::Frame) frames.push_back(frame);
      ASSERT_EQ(status, WsFrameReader::Status::NeedMore);
    }
    ASSERT_EQ(frames.size(), 4u) << piece;
    EXPECT_TRUE(frames[0].fin);
    EXPECT_EQ(frames[0].opcode, kWsText);
    EXPECT_EQ(frames[0].payload, "Hello");
    EXPECT_EQ(frames[1].opcode, kWsBinary);
    EXPECT_EQ(frames[1].payload, "\x01\x02");
    EXPECT_FALSE(frames[2].fin);
    EXPECT_EQ(frames[2].payload, big);
    EXPECT_EQ(frames[3].opcode, kWsPing);
    EXPECT_EQ(frames[3].payload, "p");
  }
}

TEST(WsFrames, OversizeAnnouncementIsRefusedBeforeThePayload) {
  auto announce = [](uint64_t length) {
    std::string header("\x82\x7f", 2);
    for (int i = 7; i >= 0; --i) header += static_cast<char>((length >> (8 * i)) & 0xff);
    return header;
  };
  struct Case {
    uint64_t announced;
    uint64_t limit;
    WsFrameReader::Status expected;  // exactly the limit is allowed: it waits for the payload
  };
  const Case cases[] = {
      {kWsMaxMessageBytes + 1, kWsMaxMessageBytes, WsFrameReader::Status::TooLarge},
      {~0ull, kWsMaxMessageBytes, WsFrameReader::Status::TooLarge},
      {kWsMaxMessageBytes, kWsMaxMessageBytes, WsFrameReader::Status::NeedMore},
      {kWsMaxPreHelloMessageBytes + 1, kWsMaxPreHelloMessageBytes, WsFrameReader::Status::TooLarge},
      {kWsMaxPreHelloMessageBytes, kWsMaxPreHelloMessageBytes, WsFrameReader::Status::NeedMore},
  };
  for (const Case& c : cases) {
    WsFrame frame;
    WsFrameReader reader;
    const std::string header = announce(c.announced);
    reader.Append(header.data(), header.size());
    EXPECT_EQ(reader.Next(&frame, c.limit), c.expected) << c.announced << " over " << c.limit;
  }
}

TEST(WsFrames, AssemblerJoinsFragmentsAndBoundsTheMessage) {
  WsMessageAssembler assembler;
  WsFrame first{false, kWsText, "he"};
  WsFrame middle{false, kWsContinuation, "ll"};
  WsFrame last{true, kWsContinuation, "o"};
  EXPECT_EQ(assembler.Add(first), WsMessageAssembler::Status::Pending);
  EXPECT_EQ(assembler.Add(middle), WsMessageAssembler::Status::Pending);
  ASSERT_EQ(assembler.Add(last), WsMessageAssembler::Status::Complete);
  EXPECT_EQ(assembler.opcode(), kWsText);
  EXPECT_EQ(assembler.message(), "hello");
  assembler.Reset();

  // A new data frame discards an unfinished message.
  WsFrame stale{false, kWsText, "old"};
  WsFrame fresh{true, kWsBinary, "new"};
  assembler.Add(stale);
  ASSERT_EQ(assembler.Add(fresh), WsMessageAssembler::Status::Complete);
  EXPECT_EQ(assembler.opcode(), kWsBinary);
  EXPECT_EQ(assembler.message(), "new");
  assembler.Reset();

  // A continuation with nothing started completes a message of no kind.
  WsFrame orphan{true, kWsContinuation, "x"};
  ASSERT_EQ(assembler.Add(orphan), WsMessageAssembler::Status::Complete);
  EXPECT_EQ(assembler.opcode(), WsMessageAssembler::kNone);
  assembler.Reset();

  WsFrame start{false, kWsBinary, std::string(kWsMaxMessageBytes - 1, 'a')};
  WsFrame fits{false, kWsContinuation, "b"};
  WsFrame over{true, kWsContinuation, "c"};
  EXPECT_EQ(assembler.Add(start), WsMessageAssembler::Status::Pending);
  EXPECT_EQ(assembler.Add(fits), WsMessageAssembler::Status::Pending);
  EXPECT_EQ(assembler.Add(over), WsMessageAssembler::Status::TooLarge);
  assembler.Reset();

  // A smaller limit bounds the first frame as well as what continuations add.
  const uint64_t small = kWsMaxPreHelloMessageBytes;
  WsFrame whole{true, kWsText, std::string(small + 1, 'a')};
  EXPECT_EQ(assembler.Add(whole, small), WsMessageAssembler::Status::TooLarge);
  assembler.Reset();
  WsFrame half{false, kWsText, std::string(small / 2, 'a')};
  WsFrame rest{true, kWsContinuation, std::string(small / 2, 'b')};
  EXPECT_EQ(assembler.Add(half, small), WsMessageAssembler::Status::Pending);
  EXPECT_EQ(assembler.Add(rest, small), WsMessageAssembler::Status::Complete);
  EXPECT_EQ(assembler.message().size(), small);
}

}  // namespace

namespace {

// The block- and word-wide unmasking against the rule itself, at lengths around the word and
// block sizes and from an odd start, so each tail and an unaligned buffer are covered.
TEST(WsFrames, UnmaskMatchesTheBytewiseRule) {
  const uint8_t key[4] = {0x12, 0x9a, 0xff, 0x01};
  for (size_t length : {0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 31, 63, 64, 65, 71, 72, 73, 127, 128, 129, 1000}) {
    std::string buffer(length + 1, '\0');
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<char>(i * 37 + 11);
    std::string expected = buffer.substr(1);
    for (size_t i = 0; i < length; ++i) expected[i] = static_cast<char>(expected[i] ^ key[i % 4]);
    UnmaskWsPayload(buffer.data() + 1, length, key);
    EXPECT_EQ(buffer.substr(1), expected) << length;
  }
}

// Unmasking a payload piece by piece, each piece told where it starts, gives the whole result.
TEST(WsFrames, UnmaskInPiecesMatchesUnmaskingAtOnce) {
  const uint8_t key[4] = {0x12, 0x9a, 0xff, 0x01};
  std::string whole(1000, '\0');
  for (size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<char>(i * 37 + 11);
  std::string expected = whole;
  UnmaskWsPayload(expected.data(), expected.size(), key);
  for (size_t piece : {1, 3, 5, 8, 13, 65, 130, 999}) {
    std::string pieces = whole;
    for (size_t at = 0; at < pieces.size(); at += piece) {
      UnmaskWsPayload(pieces.data() + at, std::min(piece, pieces.size() - at), key, at);
    }
    EXPECT_EQ(pieces, expected) << piece;
  }
}

// A masked client frame with any length form.
std::string MaskedLong(uint8_t first, const std::string& payload) {
  const uint8_t key[4] = {0x5c, 0x03, 0xe1, 0x77};
  std::string frame = EncodeWsFrameHeader(first & 0x0f, payload.size());
  frame[0] = static_cast<char>(first);
  frame[1] = static_cast<char>(frame[1] | 0x80);
  frame.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ key[i % 4]);
  return frame;
}

std::string Pattern(size_t length, int seed) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>((i * 131 + seed) >> 3);
  return s;
}

// Frames larger than a read are received straight into their payload: the bytes must come out
// the same whichever way they arrive (Space/Commit as a socket would fill it, or Append), in
// pieces that split headers, keys and payloads anywhere, and the frames after a large one must
// not be swallowed into it.
TEST(WsFrames, LargeFramesReceivedStraightIntoTheirPayload) {
  const std::string big = Pattern(3 * WsFrameReader::kReadChunk + 5, 1);
  const std::string mid = Pattern(20000, 2);  // unmasked frames of the direct size too
  const std::string stream = MaskedLong(0x82, big) + Masked(0x81, "after") + MaskedLong(0x02, mid) +
                             EncodeWsFrame(kWsContinuation, reinterpret_cast<const uint8_t*>(mid.data()), mid.size()) +
                             Masked(0x89, "p") + MaskedLong(0x82, big);
  for (bool throughSpace : {true, false}) {
    for (size_t piece : {size_t(1) << 20, size_t(7), size_t(4096), size_t(65537)}) {
      WsFrameReader reader;
      std::vector<WsFrame> frames;
      size_t at = 0;
      while (at < stream.size()) {
        size_t n = std::min(piece, stream.size() - at);
        if (throughSpace) {
          const WsFrameReader::Writable space = reader.Space();
          ASSERT_GT(space.length, 0u);
          n = std::min(n, space.length);
          std::memcpy(space.data, stream.data() + at, n);
          reader.Commit(n);
        } else {
          reader.Append(stream.data() + at, n);
        }
        at += n;
        WsFrame frame;
        WsFrameReader::Status status;
        while ((status = reader.Next(&frame)) == WsFrameReader::Status::Frame) {
          frames.push_back(frame);
          reader.Recycle(frame.payload);
        }
        ASSERT_EQ(status, WsFrameReader::Status::NeedMore);
      }
      const std::string label = (throughSpace ? "space " : "append ") + std::to_string(piece);
      ASSERT_EQ(frames.size(), 6u) << label;
      EXPECT_EQ(frames[0].opcode, kWsBinary) << label;
      EXPECT_TRUE(frames[0].fin) << label;
      EXPECT_TRUE(frames[0].payload == big) << label;
      EXPECT_EQ(frames[1].payload, "after") << label;
      EXPECT_FALSE(frames[2].fin) << label;
      EXPECT_TRUE(frames[2].payload == mid) << label;
      EXPECT_EQ(frames[3].opcode, kWsContinuation) << label;
      EXPECT_TRUE(frames[3].payload == mid) << label;
      EXPECT_EQ(frames[4].opcode, kWsPing) << label;
      EXPECT_TRUE(frames[5].payload == big) << label;
    }
  }
}

// A connection's buffers grow to its largest message and are kept for the next one, until they
// are released; the read buffer stays near one read whatever the message size.
TEST(WsFrames, LargeBuffersAreReusedThenGivenBack) {
  const std::string big = Pattern(4 * kWsKeptBufferBytes, 3);
  const std::string frameBytes = MaskedLong(0x82, big);
  WsFrameReader reader;
  WsFrame frame;
  const char* firstPages = nullptr;
  for (int round = 0; round < 2; ++round) {
    size_t at = 0;
    WsFrameReader::Status status = WsFrameReader::Status::NeedMore;
    while (at < frameBytes.size()) {
      const WsFrameReader::Writable space = reader.Space();
      const size_t n = std::min(space.length, frameBytes.size() - at);
      std::memcpy(space.data, frameBytes.data() + at, n);
      reader.Commit(n);
      at += n;
      status = reader.Next(&frame);
      if (status == WsFrameReader::Status::Frame) break;
    }
    ASSERT_EQ(status, WsFrameReader::Status::Frame);
    ASSERT_TRUE(frame.payload == big);
    const char* pages = frame.payload.data();
    reader.Recycle(frame.payload);
    EXPECT_TRUE(frame.payload.empty());
    // The second message lands in the first one's buffer.
    if (round == 1) {
      EXPECT_EQ(pages, firstPages);
    }
    firstPages = pages;
  }
  EXPECT_GE(reader.CapacityBytes(), big.size());
  reader.ReleaseLargeBuffers();
  EXPECT_LE(reader.CapacityBytes(), kWsKeptBufferBytes + WsFrameReader::kReadChunk);
}

TEST(WsFrames, HeaderAndPayloadMakeTheWholeFrame) {
  for (size_t length : {0, 125, 126, 65535, 65536}) {
    const std::string payload(length, 'q');
    EXPECT_EQ(EncodeWsFrameHeader(kWsBinary, length) + payload,
              EncodeWsFrame(kWsBinary, reinterpret_cast<const uint8_t*>(payload.data()), length))
        << length;
  }
}

}  // namespace
