#include <string>

#include <gtest/gtest.h>

#include "platform/http.h"

namespace {

using platform::HttpRequest;
using platform::ResolveUrl;
using platform::UrlScheme;

// Without its engine module the facility says so and sends nothing; the module beside the program
// (where the host finds it too) answers once it is the one loaded.
TEST(HttpEngine, AMissingModuleIsAClearErrorAndTheModuleBesideTheProgramAnswers) {
  platform::InstallHttpEngineLoader([](std::string* error) {
    return platform::LoadHttpEngineModule("/nonexistent/libqv_http_curl.so", error);
  });
  const platform::HttpResult missing = HttpRequest("https://127.0.0.1:1/", {});
  EXPECT_EQ(missing.status, 0u);
  EXPECT_EQ(missing.error.rfind("HTTP engine unavailable: /nonexistent/libqv_http_curl.so", 0), 0u) << missing.error;
  EXPECT_EQ(UrlScheme("https://updates.example.invalid/"), "");
  EXPECT_EQ(ResolveUrl("https://updates.example.invalid/a/", "b"), "");

  platform::InstallHttpEngineLoader(nullptr);
  EXPECT_EQ(UrlScheme("HTTPS://updates.example.invalid/"), "https");
  EXPECT_EQ(ResolveUrl("https://updates.example.invalid/api/v1/manifest", "download?v=2"),
            "https://updates.example.invalid/api/v1/download?v=2");
  EXPECT_EQ(HttpRequest("http://127.0.0.1:1/", {}).error, "refused: not an https URL");
}

}  // namespace
