#pragma once
// What the test decoder programs share: their settings and a whole write to a descriptor.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

inline nlohmann::json ChildSettings() {
  const char* text = std::getenv("QVN_PLUGIN_SETTINGS");
  nlohmann::json settings = nlohmann::json::parse(text ? text : "{}", nullptr, false);
  return settings.is_object() ? settings : nlohmann::json::object();
}

inline void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}
