#include "app/helpers.h"

#include "base/log.h"
#include "base/strings.h"
#include "platform/crypto.h"

std::string MakeNativeWsToken() {
  uint8_t bytes[32];
  if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
  return HexLower(bytes, sizeof bytes);
}

bool HasPackageIdentity() {
  LogPrintf("[main] Package::Current() returned null\n");
  return false;
}

