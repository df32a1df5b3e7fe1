// qvn_sign: signs capability tokens, view tokens, revocation lists and plugin packages with the development keys,
// for tests and for trying the host by hand.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "package_signer.h"
#include "token_minter.h"

namespace {

const char kUsage[] =
    "usage: qvn_sign [--key SEED_FILE] [--issuer ISS] [--now SECONDS] COMMAND ARGS\n"
    "  cap '<claims JSON>'          capability token; fills iss, nbf, exp (+3600 s) and jti when missing\n"
    "  view '<claims JSON>'         view token; also fills cap \"view\", iat and scope [\"live.subscribe\"]\n"
    "  revocations '<list JSON>'    signed revocation list; fills kid \"rpc-cap\" when missing\n"
    "  raw '<header>' '<payload>'   signs the two texts exactly as given\n"
    "  package DIR [OUT.zip]        zips DIR (its plugin.json is the manifest), signs the manifest\n"
    "                               with the package key and prints the stagePluginPackage payload\n"
    "  pubkey                       prints the key's public half (hex)\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "qvn_sign: %s\n", message.c_str());
  return 2;
}

bool ParseObject(const std::string& text, nlohmann::json& out) {
  out = nlohmann::json::parse(text, nullptr, false);
  return !out.is_discarded() && out.is_object();
}

}  // namespace

int main(int argc, char** argv) {
  std::string keyFile;
  std::string issuer = QV_DEV_ISSUER;
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--key" || a == "--issuer" || a == "--now") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (a == "--key") keyFile = value;
      if (a == "--issuer") issuer = value;
      if (a == "--now") {
        try {
          now = std::stoll(value);
        } catch (const std::exception&) {
          return Fail("--now needs whole seconds");
        }
      }
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  const std::string& command = args[0];
  if (keyFile.empty()) keyFile = command == "package" ? QV_DEV_PACKAGE_SEED_FILE : QV_DEV_ISSUER_SEED_FILE;
  qvsign::SigningKey key;
  std::string error;
  if (!qvsign::LoadSigningKey(keyFile, key, error)) return Fail(error);

  nlohmann::json object;
  if (command == "pubkey" && args.size() == 1) {
    std::printf("%s\n", qvsign::HexOf(key.publicKey.data(), key.publicKey.size()).c_str());
  } else if ((command == "cap" || command == "view") && args.size() == 2) {
    if (!ParseObject(args[1], object)) return Fail("claims must be a JSON object");
    if (command == "cap") {
      qvsign::FillCapDefaults(object, issuer, now);
    } else {
      qvsign::FillViewDefaults(object, issuer, now);
    }
    std::printf("%s\n", qvsign::MintToken(key, object).c_str());
  } else if (command == "revocations" && args.size() == 2) {
    if (!ParseObject(args[1], object)) return Fail("the list must be a JSON object");
    if (!object.contains("kid")) object["kid"] = "rpc-cap";
    std::printf("%s\n", qvsign::SignRevocationList(key, object).dump().c_str());
  } else if (command == "package" && (args.size() == 2 || args.size() == 3)) {
    std::string zipBytes;
    if (!qvsign::BuildStagePayload(key, args[1], object, zipBytes, error)) return Fail(error);
    if (args.size() == 3) {
      std::FILE* out = std::fopen(args[2].c_str(), "wb");
      const bool written = out && std::fwrite(zipBytes.data(), 1, zipBytes.size(), out) == zipBytes.size();
      if (out && std::fclose(out) != 0) return Fail("cannot write " + args[2]);
      if (!written) return Fail("cannot write " + args[2]);
    }
    std::printf("%s\n", object.dump().c_str());
  } else if (command == "raw" && args.size() == 3) {
    std::printf("%s\n", qvsign::SignTokenText(key, args[1], args[2]).c_str());
  } else {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return 0;
}
