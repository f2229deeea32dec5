#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "platform/platform.h"
#include "platform/posix_file_names.h"
#include "tests/test_util.h"

namespace sgsplit {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

class PosixPlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> platform_ = NewSystemPlatform();
  ScratchDir dir_;
};

TEST_F(PosixPlatformTest, TempFolderFollowsTmpdir) {
  const struct {
    const char* tmpdir;  // null: unset
    std::u16string folder;
  } cases[] = {{nullptr, u"/tmp/"}, {"", u"/tmp/"}, {"/var/tmp", u"/var/tmp/"}, {"/x/", u"/x/"}};
  for (const auto& c : cases) {
    const testing::ScopedEnv env("TMPDIR", c.tmpdir);
    std::u16string folder;
    ASSERT_TRUE(platform_->GetTempFolder(&folder));
    EXPECT_EQ(folder, c.folder);
  }
  const std::string long_folder = "/" + std::string(258, 'd');  // 260 with the slash
  const testing::ScopedEnv env("TMPDIR", long_folder.c_str());
  std::u16string folder;
  EXPECT_FALSE(platform_->GetTempFolder(&folder));
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ENAMETOOLONG));
}

TEST_F(PosixPlatformTest, TempFilesAreNewPrivateAndNamedObj) {
  const std::u16string folder = testing::Utf16Path(dir_.path()) + u"/";
  std::u16string first, second;
  ASSERT_TRUE(platform_->CreateTempFile(folder, &first));
  ASSERT_TRUE(platform_->CreateTempFile(folder, &second));
  EXPECT_NE(first, second);
  for (const auto& path : {first, second}) {
    const fs::path file(path);
    EXPECT_EQ(file.parent_path(), dir_.path());
    EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex("obj[0-9A-F]{4}\\.tmp")));
    EXPECT_EQ(fs::file_size(file), 0u);
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_FALSE(platform_->CreateTempFile(u"/no/such/folder/", &first));
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ENOENT));
}

TEST_F(PosixPlatformTest, CopyOverKeepsPermissionsAndFollowsLinks) {
  WriteBytes(dir_ / "new.tmp", "new");
  WriteBytes(dir_ / "model.obj", "old");
  fs::permissions(dir_ / "model.obj", fs::perms(0640));
  fs::create_symlink("model.obj", dir_ / "link.obj");

  EXPECT_EQ(platform_->CopyOver(testing::Utf16Path(dir_ / "new.tmp"),
                                testing::Utf16Path(dir_ / "link.obj")),
            ReplaceResult::kReplaced);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.obj"));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  EXPECT_EQ(fs::status(dir_ / "model.obj").permissions(), fs::perms(0640));
  EXPECT_EQ(ReadBytes(dir_ / "new.tmp"), "new");
  // Nothing is left beside the model.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 3);
}

TEST_F(PosixPlatformTest, CopyOverFailureLeavesTheTargetWhole) {
  WriteBytes(dir_ / "model.obj", "old");
  EXPECT_EQ(platform_->CopyOver(testing::Utf16Path(dir_ / "missing.tmp"),
                                testing::Utf16Path(dir_ / "model.obj")),
            ReplaceResult::kUntouched);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(PosixPlatformTest, OnlyRegularFilesOpenForReading) {
  fs::create_directory(dir_ / "folder.obj");
  ASSERT_EQ(::mkfifo((dir_ / "pipe.obj").c_str(), 0600), 0);
  const std::string folder = (dir_ / "folder.obj").string();
  const std::string pipe = (dir_ / "pipe.obj").string();
  EXPECT_EQ(platform_->OpenForReading({folder.c_str()}), FileHandle::kInvalid);
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(EISDIR));
  // Neither a device nor a FIFO (which must not wait for a writer) is a model.
  for (const char* path : {"/dev/null", pipe.c_str()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(platform_->OpenForReading({path}), FileHandle::kInvalid);
    EXPECT_EQ(platform_->ErrorText(platform_->LastError()), "Not a regular file");
  }
}

TEST_F(PosixPlatformTest, ReadSeekWrite) {
  const std::string path = (dir_ / "f.bin").string();
  const FileHandle out = platform_->OpenForWriting({path.c_str()});
  ASSERT_NE(out, FileHandle::kInvalid);
  std::uint32_t count = 0;
  ASSERT_TRUE(platform_->Write(out, "abcdef", 6, &count));
  EXPECT_EQ(count, 6u);
  ASSERT_TRUE(platform_->Close(out));

  const FileHandle in = platform_->OpenForReading({path.c_str()});
  ASSERT_NE(in, FileHandle::kInvalid);
  char buffer[8] = {};
  ASSERT_TRUE(platform_->Read(in, buffer, 4, &count));
  EXPECT_EQ(std::string(buffer, count), "abcd");
  ASSERT_TRUE(platform_->Seek(in, -1));
  ASSERT_TRUE(platform_->Read(in, buffer, 8, &count));
  EXPECT_EQ(std::string(buffer, count), "def");
  ASSERT_TRUE(platform_->Read(in, buffer, 8, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(platform_->Close(in));
}

TEST_F(PosixPlatformTest, WideToNarrowAsksForTheSizeItNeeds) {
  const std::u16string text = u"\u6A21\u578B.obj";
  const int needed = platform_->WideToNarrow(kUtf8CodePage, text.c_str(),
                                             static_cast<int>(text.size()) + 1, nullptr, 0);
  EXPECT_EQ(needed, 11);
  char out[16];
  EXPECT_EQ(platform_->WideToNarrow(kUtf8CodePage, text.c_str(), static_cast<int>(text.size()) + 1,
                                    out, 10),
            0);
  EXPECT_EQ(platform_->WideToNarrow(kUtf8CodePage, text.c_str(), static_cast<int>(text.size()) + 1,
                                    out, 16),
            11);
  EXPECT_STREQ(out, "\xE6\xA8\xA1\xE5\x9E\x8B.obj");
  EXPECT_EQ(platform_->WideToNarrow(1252, text.c_str(), 3, out, 16), 0);
}

}  // namespace
}  // namespace sgsplit
