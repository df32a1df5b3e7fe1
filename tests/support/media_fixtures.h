#pragma once
// Video fixtures made at test time with the ffmpeg command line (nothing binary is committed),
// and ffmpeg's own decode of a file as the reference the host's decoding is compared with.
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace testsupport {

inline std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `ffmpeg -y -v error <arguments> <output>`; true when it wrote the file.
inline bool MakeVideo(const std::string& arguments, const std::string& output) {
  const std::string command = "ffmpeg -nostdin -y -v error " + arguments + " " + ShellQuote(output) + " 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// The common fixture: testsrc2 at the given size and rate in the given codec, key frames every
// keyint. testsrc2 makes even sizes only; an odd one is scaled from the next even size.
inline std::string TestsrcArguments(int width, int height, int fps, double seconds, const std::string& codec,
                                    int keyint = 30) {
  char text[512];
  std::snprintf(text, sizeof text, "-f lavfi -i testsrc2=size=%dx%d:rate=%d:duration=%g,scale=%d:%d %s -g %d",
                (width + 1) & ~1, (height + 1) & ~1, fps, seconds, width, height, codec.c_str(), keyint);
  return text;
}

// The standard output of a shell command line (its errors discarded).
inline std::string CommandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
  }
  return out;
}

// ffmpeg's own decode of the first video stream to a raw pixel format, frameBytes each.
inline std::vector<std::vector<uint8_t>> DecodeWithFfmpeg(const std::string& path, const char* pixelFormat,
                                                          size_t frameBytes) {
  std::vector<std::vector<uint8_t>> frames;
  const std::string command = "ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                              " -map 0:v:0 -vsync passthrough -f rawvideo -pix_fmt " + pixelFormat + " - 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return frames;
  for (;;) {
    std::vector<uint8_t> frame(frameBytes);
    if (std::fread(frame.data(), 1, frameBytes, pipe) != frameBytes) break;
    frames.push_back(std::move(frame));
  }
  pclose(pipe);
  return frames;
}

// ffmpeg's own decode of the first video stream to RGBA, frames width * height * 4 bytes each.
inline std::vector<std::vector<uint8_t>> DecodeRgbaWithFfmpeg(const std::string& path, int width, int height) {
  return DecodeWithFfmpeg(path, "rgba", static_cast<size_t>(width) * height * 4);
}

// The largest difference of one channel between two images of the same size.
inline int MaxChannelDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  return worst;
}

}  // namespace testsupport
