#pragma once
// The page's binary messages: blob chunks, export video frames and export audio.
#include <cstddef>
#include <cstdint>
#include <functional>

struct BinaryFrameTargets {
  std::function<void(uint32_t streamId, uint32_t requestId, const uint8_t* data, size_t length)> deliverBlobChunk;
  // length: the bytes after the header, so the receiver can check the sizes again for itself.
  std::function<void(const uint8_t* rgba, size_t length, uint32_t width, uint32_t height, double timestampUs)>
      writeVideoFrame;
  std::function<void(const uint8_t* samples, size_t length, uint32_t frames, uint32_t channels)> writeAudioFrames;
};

// Checks a message's kind and sizes and hands it on; short, inconsistent or unknown
// messages are dropped in silence.
void UiBinaryHandler(const BinaryFrameTargets& targets, const uint8_t* data, size_t length);
