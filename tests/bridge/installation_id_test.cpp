#include "bridge/identity/installation_id.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "platform/crypto.h"
#include "support/temp_folder.h"
#include "platform/files.h"
#include "platform/protect.h"

namespace fs = std::filesystem;

namespace {

class InstallationIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = folder_.str();
    dataHome_.emplace("XDG_DATA_HOME", root_);
    ResetInstallationIdForTesting();
  }
  void TearDown() override {
    platform::SetRandomSourceForTesting(nullptr);
    ResetInstallationIdForTesting();
    dataHome_.reset();
  }
  std::string IdFile() const { return root_ + "/Quorvane/installation-id.bin"; }
  void WriteBlob(const std::string& blob) {
    fs::create_directories(root_ + "/Quorvane");
    ASSERT_TRUE(platform::WriteFileAtomic(IdFile(), blob, 0600));
  }
  testsupport::TempFolder folder_{"qv-id-"};
  std::optional<testsupport::ScopedEnv> dataHome_;
  std::string root_;
};

bool IsLowerHex32(const std::string& s) {
  return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST_F(InstallationIdTest, CreatedOnceThenReusedWithPrivatePermissions) {
  std::string id = LoadOrCreateInstallationId();
  ASSERT_TRUE(IsLowerHex32(id)) << id;
  ResetInstallationIdForTesting();  // as a later run would
  EXPECT_EQ(LoadOrCreateInstallationId(), id);

  struct stat st{};
  ASSERT_EQ(stat(IdFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((root_ + "/Quorvane").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  std::string blob, plain;
  ASSERT_TRUE(platform::ReadFile(IdFile(), &blob));
  ASSERT_TRUE(platform::UnprotectData(blob, &plain));
  EXPECT_EQ(plain, id);
}

TEST_F(InstallationIdTest, InvalidFilesAreReplaced) {
  struct Case {
    const char* name;
    std::string blob;
  };
  std::string good;
  ASSERT_TRUE(platform::ProtectData("0123456789abcdef0123456789abcdef", "Quorvane installation", &good));
  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x01;
  const Case cases[] = {
      {"upper-case id", platform::ProtectDataForUser(getuid(), "0123456789ABCDEF0123456789ABCDEF", "x")},
      {"short id", platform::ProtectDataForUser(getuid(), "0123456789abcdef", "x")},
      {"other user's blob", platform::ProtectDataForUser(getuid() + 1, "0123456789abcdef0123456789abcdef", "x")},
      {"damaged blob", flipped},
      {"truncated blob", good.substr(0, good.size() - 1)},
      {"plain text", "0123456789abcdef0123456789abcdef"},
      {"empty file", ""},
  };
  for (const auto& c : cases) {
    ResetInstallationIdForTesting();
    WriteBlob(c.blob);
    std::string id = LoadOrCreateInstallationId();
    EXPECT_TRUE(IsLowerHex32(id)) << c.name;
    EXPECT_NE(id, "0123456789abcdef0123456789abcdef") << c.name;
    ResetInstallationIdForTesting();
    EXPECT_EQ(LoadOrCreateInstallationId(), id) << c.name << ": the replacement was not kept";
  }
}

TEST_F(InstallationIdTest, ValidFileIsReturnedUnchanged) {
  std::string blob;
  ASSERT_TRUE(platform::ProtectData("00112233445566778899aabbccddeeff", "Quorvane installation", &blob));
  WriteBlob(blob);
  EXPECT_EQ(LoadOrCreateInstallationId(), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(LoadOrCreateInstallationId(), "00112233445566778899aabbccddeeff");
}

TEST_F(InstallationIdTest, NoDataFolderGivesOneIdPerProcessAndWritesNothing) {
  std::string a, b;
  {
    testsupport::ScopedEnv noDataHome("XDG_DATA_HOME", std::nullopt);
    testsupport::ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_EQ(InstallationIdPath(), "");
    a = LoadOrCreateInstallationId();
    b = LoadOrCreateInstallationId();
  }
  EXPECT_TRUE(IsLowerHex32(a));
  EXPECT_EQ(a, b);  // token audience and later readers agree
  EXPECT_FALSE(fs::exists(root_ + "/Quorvane"));
}

TEST_F(InstallationIdTest, RandomFailureGivesEmptyIdsAndHandles) {
  platform::SetRandomSourceForTesting([](void*, size_t) { return false; });
  EXPECT_EQ(LoadOrCreateInstallationId(), "");
  EXPECT_EQ(MakeSessionHandle(), "");
  EXPECT_FALSE(fs::exists(IdFile()));
  platform::SetRandomSourceForTesting(nullptr);
  std::string handle = MakeSessionHandle();
  EXPECT_TRUE(IsLowerHex32(handle));
  EXPECT_NE(handle, MakeSessionHandle());
}

}  // namespace
