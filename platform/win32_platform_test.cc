// The Win32 platform against the real system calls: sharing and dispositions
// of the opens, reads across block edges, the temporary file held from its
// making to its removal, which file a handle is, the replacement only of the
// file that was read, the code pages, and names that the code page cannot
// express.
#include <windows.h>
// After <windows.h>, which they build on.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/conversion_code_page.h"
#include "app/narrow_path.h"
#include "app/separation_pass.h"
#include "platform/platform.h"
#include "tests/fault_platform.h"
#include "tests/test_util.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A handle of the test's own, closed when the test is done with it.
class OwnHandle {
 public:
  explicit OwnHandle(HANDLE handle) : handle_(handle) {}
  ~OwnHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  OwnHandle(const OwnHandle&) = delete;
  OwnHandle& operator=(const OwnHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

OwnHandle OpenOther(const fs::path& file, DWORD access, DWORD share) {
  return OwnHandle(CreateFileW(file.c_str(), access, share, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A file the platform opened, closed by the platform at the end of the test.
class PlatformFile {
 public:
  PlatformFile(Platform& platform, FileHandle file) : platform_(platform), file_(file) {}
  ~PlatformFile() {
    if (valid()) platform_.Close(file_);
  }
  PlatformFile(const PlatformFile&) = delete;
  PlatformFile& operator=(const PlatformFile&) = delete;
  FileHandle get() const { return file_; }
  bool valid() const { return file_ != FileHandle::kInvalid; }

 private:
  Platform& platform_;
  FileHandle file_;
};

HANDLE RawHandle(FileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}
FileHandle FileOf(HANDLE handle) {
  return static_cast<FileHandle>(reinterpret_cast<std::intptr_t>(handle));
}

// The code-page text of a path, as the platform narrows it.
std::string Narrowed(Platform& platform, const std::u16string& path) {
  const NarrowPath narrow(platform, path.c_str(), ConversionCodePage(platform));
  return narrow.c_str();
}

// Records the size of every read that reaches the system.
class ReadSizes final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* got) override {
    sizes.push_back(size);
    return PlatformWrapper::Read(file, buffer, size, got);
  }
  std::vector<std::uint32_t> sizes;
};

class Win32PlatformTest : public ::testing::Test {
 protected:
  FileName NameOf(const NarrowPath& narrow) { return narrow.Name(); }

  std::unique_ptr<Platform> platform_ = NewSystemPlatform();
  ScratchDir dir_;
};

TEST_F(Win32PlatformTest, ReadingOpensExistingFilesOnly) {
  const std::u16string missing = testing::Utf16Path(dir_ / "missing.obj");
  const NarrowPath narrow(*platform_, missing.c_str(), ConversionCodePage(*platform_));
  const PlatformFile file(*platform_, platform_->OpenForReading(narrow.Name()));
  EXPECT_FALSE(file.valid());
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(fs::exists(dir_ / "missing.obj"));
}

// A folder named as the model: the system refuses it as "Access is denied",
// which would send the user after permissions. It is told as a folder.
TEST_F(Win32PlatformTest, ReadingAFolderSaysItIsAFolder) {
  fs::create_directory(dir_ / "folder.obj");
  const std::u16string folder = testing::Utf16Path(dir_ / "folder.obj");
  const NarrowPath narrow(*platform_, folder.c_str(), ConversionCodePage(*platform_));
  const PlatformFile file(*platform_, platform_->OpenForReading(narrow.Name()));
  EXPECT_FALSE(file.valid());
  EXPECT_EQ(platform_->ErrorText(platform_->LastError()), "Is a folder");
}

// The file functions drop a dot or a blank that ends a part of a name, which
// would open another file: such a name is refused, for reading and writing.
// Only a path that starts with exactly "\\?\" is taken as it stands; one
// whose prefix has a forward slash is a device path and is normalized like
// any other.
TEST_F(Win32PlatformTest, ANameEndingInADotOrBlankIsRefused) {
  WriteBytes(dir_ / "box.obj", "other");
  std::u16string slashed = testing::Utf16Path(dir_ / "box.obj ");
  std::replace(slashed.begin(), slashed.end(), u'\\', u'/');
  const std::u16string paths[] = {
      testing::Utf16Path(dir_ / "box.obj "),
      u"//?/" + slashed,
      u"\\\\?/" + slashed,
      u"/\\?\\" + slashed,
  };
  for (const std::u16string& named : paths) {
    for (const std::u16string ending : {u" ", u".", u"\\..\\box.obj"}) {
      const std::u16string path = named + ending;
      SCOPED_TRACE(std::string(path.begin(), path.end()));
      const NarrowPath narrow(*platform_, path.c_str(), ConversionCodePage(*platform_));
      for (const bool writing : {false, true}) {
        const PlatformFile file(*platform_, writing ? platform_->OpenForWriting(narrow.Name())
                                                    : platform_->OpenForReading(narrow.Name()));
        EXPECT_FALSE(file.valid());
        EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_INVALID_NAME));
      }
    }
  }
  EXPECT_EQ(ReadBytes(dir_ / "box.obj"), "other");
  // "." and ".." are parts of their own, not names that end in a dot.
  fs::create_directory(dir_ / "sub");
  const std::u16string path = testing::Utf16Path(dir_ / "sub" / ".." / "." / "box.obj");
  const NarrowPath narrow(*platform_, path.c_str(), ConversionCodePage(*platform_));
  EXPECT_TRUE(PlatformFile(*platform_, platform_->OpenForReading(narrow.Name())).valid());
}

TEST_F(Win32PlatformTest, ReadingSharesReadingAndWriting) {
  WriteBytes(dir_ / "model.obj", "v 1 2 3\n");
  const std::u16string path = testing::Utf16Path(dir_ / "model.obj");
  const NarrowPath narrow(*platform_, path.c_str(), ConversionCodePage(*platform_));
  {
    // Another program writes the file meanwhile: both opens go through.
    const OwnHandle writer =
        OpenOther(dir_ / "model.obj", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(writer.valid());
    const PlatformFile file(*platform_, platform_->OpenForReading(narrow.Name()));
    ASSERT_TRUE(file.valid());
    const OwnHandle second = OpenOther(dir_ / "model.obj", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_TRUE(second.valid()) << "the reader must let others read and write";
    // Read access only.
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(RawHandle(file.get()), "x", 1, &written, nullptr));
  }
  {
    // A program that shares nothing keeps the reader out.
    const OwnHandle locked = OpenOther(dir_ / "model.obj", GENERIC_READ, 0);
    ASSERT_TRUE(locked.valid());
    const PlatformFile file(*platform_, platform_->OpenForReading(narrow.Name()));
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
  }
  {
    // A reader that shares reading only still lets the reader in.
    const OwnHandle reader = OpenOther(dir_ / "model.obj", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.valid());
    const PlatformFile file(*platform_, platform_->OpenForReading(narrow.Name()));
    EXPECT_TRUE(file.valid());
  }
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "v 1 2 3\n");
}

TEST_F(Win32PlatformTest, WritingCreatesOrEmpties) {
  WriteBytes(dir_ / "old.obj", "old content\n");
  const std::u16string old_path = testing::Utf16Path(dir_ / "old.obj");
  const std::u16string new_path = testing::Utf16Path(dir_ / "new.obj");
  for (const std::u16string* path : {&old_path, &new_path}) {
    const NarrowPath narrow(*platform_, path->c_str(), ConversionCodePage(*platform_));
    const PlatformFile file(*platform_, platform_->OpenForWriting(narrow.Name()));
    ASSERT_TRUE(file.valid());
    // Opening writes nothing and leaves an empty file.
    EXPECT_EQ(fs::file_size(*path), 0u);
    // Others may read and write meanwhile.
    const OwnHandle other =
        OpenOther(*path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_TRUE(other.valid());
    // Write access only.
    char byte = 0;
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(RawHandle(file.get()), &byte, 1, &got, nullptr));
    std::uint32_t written = 0;
    EXPECT_TRUE(platform_->Write(file.get(), "new\r\n", 5, &written));
    EXPECT_EQ(written, 5u);
  }
  EXPECT_EQ(ReadBytes(dir_ / "old.obj"), "new\r\n");
  EXPECT_EQ(ReadBytes(dir_ / "new.obj"), "new\r\n");
}

TEST_F(Win32PlatformTest, WritingFailsWithoutTouchingAnything) {
  WriteBytes(dir_ / "locked.obj", "locked\n");
  fs::create_directory(dir_ / "folder.obj");
  const OwnHandle locked = OpenOther(dir_ / "locked.obj", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(locked.valid());
  const struct {
    const char* name;
    fs::path file;
    DWORD error;
  } cases[] = {
      {"held without sharing writing", dir_ / "locked.obj", ERROR_SHARING_VIOLATION},
      {"a folder", dir_ / "folder.obj", ERROR_ACCESS_DENIED},
      {"missing folder", dir_ / "no" / "such.obj", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string path = testing::Utf16Path(c.file);
    const NarrowPath narrow(*platform_, path.c_str(), ConversionCodePage(*platform_));
    const PlatformFile file(*platform_, platform_->OpenForWriting(narrow.Name()));
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(c.error));
  }
  EXPECT_EQ(ReadBytes(dir_ / "locked.obj"), "locked\n");
  EXPECT_TRUE(fs::is_directory(dir_ / "folder.obj"));
  EXPECT_FALSE(fs::exists(dir_ / "no"));
}

// Whatever the block edges cut, CR LF reads as LF and every other CR stays.
TEST_F(Win32PlatformTest, ReadsAcrossBlockEdges) {
  constexpr std::size_t kBlock = TextLineReader::kBlockSize;
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
    std::vector<std::uint32_t> reads;  // sizes asked of ReadFile
  } cases[] = {
      {"CR LF across the edge",
       std::string(kBlock - 1, 'a') + "\r\nb\n",
       {std::string(kBlock - 1, 'a'), "b"},
       {4096, 1, 4096, 4096}},
      {"CR then another byte across the edge",
       std::string(kBlock - 1, 'a') + "\rb\n",
       {std::string(kBlock - 1, 'a') + "\rb"},
       {4096, 1, 4096, 4096}},
      {"CR at the very end",
       std::string(kBlock - 1, 'a') + "\r",
       {std::string(kBlock - 1, 'a') + "\r"},
       {4096, 1, 4096}},
      {"LF first in the next block",
       std::string(kBlock, 'a') + "\nb",
       {std::string(kBlock, 'a'), "b"},
       {4096, 4096, 4096}},
      {"three blocks of lines",
       [] {
         std::string bytes;
         for (int i = 0; i < 1500; ++i) bytes += "v 1 2\r\n";
         return bytes;
       }(),
       std::vector<std::string>(1500, "v 1 2"),
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir_ / "model.obj", c.bytes);
    ReadSizes platform(*platform_);
    const std::u16string path = testing::Utf16Path(dir_ / "model.obj");
    TextLineReader reader(platform,
                          NarrowPath(platform, path.c_str(), ConversionCodePage(platform)).Name());
    ASSERT_FALSE(reader.fail());
    std::vector<std::string> lines;
    Line line;
    for (;;) {
      reader.ReadLine(line);
      if (reader.fail() || reader.bad()) break;
      lines.emplace_back(line.begin(), line.end());
    }
    EXPECT_FALSE(reader.bad());
    EXPECT_EQ(lines, c.lines);
    if (!c.reads.empty()) {
      EXPECT_EQ(platform.sizes, c.reads);
    }
    reader.Close();
    EXPECT_FALSE(reader.bad());
  }
}

TEST_F(Win32PlatformTest, WriterHandsEachLineOverAsCrLf) {
  const std::u16string path = testing::Utf16Path(dir_ / "out.obj");
  TextLineWriter writer(
      *platform_, NarrowPath(*platform_, path.c_str(), ConversionCodePage(*platform_)).Name());
  writer.WriteText(u"g object");
  writer.WriteNumber(4294967295u);
  writer.EndLine();
  // The line is in the file before the writer is closed.
  EXPECT_EQ(ReadBytes(dir_ / "out.obj"), "g object4294967295\r\n");
  writer.WriteText(u"\u00E9\r\x1A");
  writer.EndLine();
  writer.Close();
  EXPECT_TRUE(writer.good());
  EXPECT_EQ(ReadBytes(dir_ / "out.obj"), "g object4294967295\r\n\xE9\r\x1A\r\n");
}

TEST_F(Win32PlatformTest, TempFolderAndNames) {
  const std::string folder_text = dir_.path().string() + "\\";
  const testing::ScopedEnv tmp("TMP", folder_text.c_str());
  std::u16string folder;
  ASSERT_TRUE(platform_->GetTempFolder(&folder));
  EXPECT_EQ(folder, testing::Utf16Path(dir_.path()) + u"\\");

  std::u16string first, second;
  const FileHandle first_file = platform_->CreateTempFile(folder, &first);
  const FileHandle second_file = platform_->CreateTempFile(folder, &second);
  ASSERT_NE(first_file, FileHandle::kInvalid);
  ASSERT_NE(second_file, FileHandle::kInvalid);
  EXPECT_NE(first, second);
  for (const auto& [path, file] : {std::pair(first, first_file), std::pair(second, second_file)}) {
    const fs::path name(path);
    EXPECT_TRUE(fs::equivalent(name.parent_path(), dir_.path()));
    // Up to four hex digits; Wine writes them in lower case.
    EXPECT_TRUE(std::regex_match(name.filename().string(), std::regex("obj[0-9A-Fa-f]{1,4}\\.tmp")))
        << name.filename().string();
    EXPECT_EQ(fs::file_size(name), 0u);
    EXPECT_TRUE(platform_->RemoveTempFile(path, file));
    EXPECT_FALSE(fs::exists(name));
  }

  // A folder that does not exist yields no temporary file.
  std::u16string none;
  EXPECT_EQ(platform_->CreateTempFile(testing::Utf16Path(dir_ / "none") + u"\\", &none),
            FileHandle::kInvalid);
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_DIRECTORY));
  EXPECT_FALSE(fs::exists(dir_ / "none"));
}

// The temporary file gives access to the user running the program alone (and
// to the system itself, where it says so), whatever the folder would hand on.
TEST_F(Win32PlatformTest, TheTemporaryFileIsTheUsersAlone) {
  // A folder that hands full access to everybody on to what is made in it.
  PSECURITY_DESCRIPTOR open_folder = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open_folder, nullptr));
  SECURITY_ATTRIBUTES folder_security = {sizeof folder_security, open_folder, FALSE};
  const fs::path shared = dir_ / "shared";
  const bool made = CreateDirectoryW(shared.c_str(), &folder_security);
  LocalFree(open_folder);
  ASSERT_TRUE(made);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  const OwnHandle held_token(token);
  std::vector<std::byte> user(256);
  DWORD size = 0;
  ASSERT_TRUE(
      GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size));
  const PSID user_sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;

  std::u16string path;
  const FileHandle file = platform_->CreateTempFile(testing::Utf16Path(shared) + u"\\", &path);
  ASSERT_NE(file, FileHandle::kInvalid);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(RawHandle(file), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);  // no list at all would let everybody in
  bool users = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    SCOPED_TRACE(i);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace));
    ASSERT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, ACCESS_ALLOWED_ACE_TYPE);
    const PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    if (EqualSid(sid, user_sid)) {
      users = true;
    } else {
      EXPECT_TRUE(IsWellKnownSid(sid, WinLocalSystemSid));
    }
  }
  EXPECT_TRUE(users);
  LocalFree(descriptor);
  EXPECT_TRUE(platform_->RemoveTempFile(path, file));
}

// From its making to its removal, the temporary file's name leads to it: no
// one else can rename it, delete it or put another file in its place, while
// the user's programs may still read and write it, the pass's own writer
// included.
TEST_F(Win32PlatformTest, TemporaryFileIsHeldUntilRemoved) {
  std::u16string path;
  const FileHandle file = platform_->CreateTempFile(testing::Utf16Path(dir_.path()) + u"\\", &path);
  ASSERT_NE(file, FileHandle::kInvalid);
  const fs::path name(path);
  WriteBytes(dir_ / "other.tmp", "another user's content");

  EXPECT_FALSE(MoveFileExW(name.c_str(), (dir_ / "away.tmp").c_str(), 0));
  EXPECT_FALSE(DeleteFileW(name.c_str()));
  EXPECT_FALSE(MoveFileExW((dir_ / "other.tmp").c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(fs::exists(dir_ / "away.tmp"));
  EXPECT_EQ(ReadBytes(dir_ / "other.tmp"), "another user's content");

  {
    const NarrowPath narrow(*platform_, path.c_str(), ConversionCodePage(*platform_));
    const PlatformFile writer(*platform_, platform_->OpenForWriting(narrow.Name()));
    ASSERT_TRUE(writer.valid());
    std::uint32_t written = 0;
    ASSERT_TRUE(platform_->Write(writer.get(), "result\r\n", 8, &written));
  }
  // The held handle reads what the writer wrote.
  char buffer[16];
  std::uint32_t got = 0;
  ASSERT_TRUE(platform_->Read(file, buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "result\r\n");

  EXPECT_TRUE(platform_->RemoveTempFile(path, file));
  EXPECT_FALSE(fs::exists(name));
  EXPECT_EQ(testing::CountFiles(dir_.path()), 1u);
}

// Removal goes by the name only while the name leads to the held file.
TEST_F(Win32PlatformTest, RemovingLeavesAnotherFileUnderTheNameAlone) {
  const std::u16string folder = testing::Utf16Path(dir_.path()) + u"\\";
  std::u16string first, second;
  const FileHandle first_file = platform_->CreateTempFile(folder, &first);
  const FileHandle second_file = platform_->CreateTempFile(folder, &second);
  ASSERT_NE(first_file, FileHandle::kInvalid);
  ASSERT_NE(second_file, FileHandle::kInvalid);
  // The first file let go of, its name then asked to remove the second: the
  // file under that name is not the one held, and stays.
  ASSERT_TRUE(platform_->Close(first_file));
  EXPECT_FALSE(platform_->RemoveTempFile(first, second_file));
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(fs::exists(fs::path(first)));
  EXPECT_TRUE(fs::exists(fs::path(second)));
  // Neither is held any more.
  EXPECT_TRUE(DeleteFileW(fs::path(first).c_str()));
  EXPECT_TRUE(DeleteFileW(fs::path(second).c_str()));
}

TEST_F(Win32PlatformTest, IdentifyTellsFilesAndChangesApart) {
  WriteBytes(dir_ / "model.obj", "v 1 2 3\n");
  WriteBytes(dir_ / "other.obj", "v 1 2 3\n");
  const auto open = [&](const char* name) {
    return OwnHandle(CreateFileW((dir_ / name).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  const auto identify = [&](const OwnHandle& file) {
    FileIdentity identity;
    EXPECT_TRUE(platform_->Identify(FileOf(file.get()), &identity));
    return identity;
  };
  const OwnHandle model = open("model.obj"), again = open("model.obj"), other = open("other.obj");
  const FileIdentity first = identify(model);
  EXPECT_EQ(first.size, 8u);
  EXPECT_NE(first.modified, 0);
  EXPECT_EQ(identify(again), first);
  EXPECT_TRUE(identify(other).SameFile(identify(other)));
  EXPECT_FALSE(identify(other).SameFile(first));

  // A write of the same length, later: the same file, changed.
  Sleep(20);
  WriteBytes(dir_ / "model.obj", "v 3 2 1\n");
  const FileIdentity rewritten = identify(model);
  EXPECT_TRUE(rewritten.SameFile(first));
  EXPECT_EQ(rewritten.size, first.size);
  EXPECT_NE(rewritten.modified, first.modified);
  // And a longer one.
  WriteBytes(dir_ / "model.obj", "v 3 2 1\nv 0 0 0\n");
  const FileIdentity longer = identify(again);
  EXPECT_TRUE(longer.SameFile(first));
  EXPECT_EQ(longer.size, 16u);
}

// A model opened for reading, as the pass has it when the result is ready:
// what it was when it was read, and where it lies.
struct ReadModel {
  FileIdentity identity;
  std::unique_ptr<ModelPlace> place;
};

ReadModel ReadAndLocate(Platform& platform, const std::u16string& path) {
  const NarrowPath narrow(platform, path.c_str(), ConversionCodePage(platform));
  const PlatformFile file(platform, platform.OpenForReading(narrow.Name()));
  ReadModel model;
  EXPECT_TRUE(file.valid());
  if (!file.valid()) return model;
  EXPECT_TRUE(platform.Identify(file.get(), &model.identity));
  model.place = platform.LocateModel(file.get(), narrow.Name());
  EXPECT_NE(model.place, nullptr);
  return model;
}

// A temporary file that holds a result, removed at the end of the test.
class HeldResult {
 public:
  HeldResult(Platform& platform, const fs::path& folder, std::string_view bytes)
      : platform_(platform) {
    file_ = platform.CreateTempFile(testing::Utf16Path(folder) + u"\\", &path_);
    EXPECT_NE(file_, FileHandle::kInvalid);
    WriteBytes(fs::path(path_), bytes);
  }
  ~HeldResult() {
    if (file_ != FileHandle::kInvalid) platform_.RemoveTempFile(path_, file_);
  }
  HeldResult(const HeldResult&) = delete;
  HeldResult& operator=(const HeldResult&) = delete;
  FileHandle file() const { return file_; }
  fs::path path() const { return fs::path(path_); }

 private:
  Platform& platform_;
  std::u16string path_;
  FileHandle file_ = FileHandle::kInvalid;
};

constexpr char kOldModel[] = "g box\ns 1\nf 1 2 3\n";
constexpr char kNewModel[] = "g object1\r\no object1\r\nusemtl object1\r\ns 1\r\nf 1 2 3\r\n";

// What happens to the model between its reading and its replacement, and
// what the replacement must then do.
TEST_F(Win32PlatformTest, ReplacesOnlyTheUnchangedModelThatWasRead) {
  ScratchDir temp;
  const fs::path model = dir_ / "model.obj";
  const fs::path saved = dir_ / "saved.obj";
  const struct {
    const char* name;
    // Done meanwhile; may return a handle to hold during the replacement.
    std::function<HANDLE()> meanwhile;
    ReplaceResult result;
    DWORD error;                   // for kUntouched
    const char* model_after;       // null: no file
    const char* reason = nullptr;  // for kUntouched with a code of the tool's own
  } cases[] = {
      {"nothing", [] { return INVALID_HANDLE_VALUE; }, ReplaceResult::kReplaced, 0, kNewModel},
      {"others read and write it, sharing everything",
       [&] {
         return CreateFileW(model.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
       },
       ReplaceResult::kReplaced, 0, kNewModel},
      {"an editor saves: another file renamed over it",
       [&] {
         WriteBytes(saved, "the user's save\n");
         EXPECT_TRUE(MoveFileExW(saved.c_str(), model.c_str(), MOVEFILE_REPLACE_EXISTING));
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kModelChanged, 0, "the user's save\n"},
      {"deleted",
       [&] {
         fs::remove(model);
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kModelChanged, 0, nullptr},
      {"written to, longer",
       [&] {
         WriteBytes(model, std::string(kOldModel) + "f 3 2 1\n");
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kModelChanged, 0, "g box\ns 1\nf 1 2 3\nf 3 2 1\n"},
      {"written to, the same length",
       [&] {
         Sleep(20);
         WriteBytes(model, "g box\ns 2\nf 1 2 3\n");
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kModelChanged, 0, "g box\ns 2\nf 1 2 3\n"},
      {"written to, the same length, its last-write time put back",
       [&] {
         FILETIME written = {};
         {
           const OwnHandle file = OpenOther(model, FILE_READ_ATTRIBUTES, kShareAll);
           EXPECT_TRUE(GetFileTime(file.get(), nullptr, nullptr, &written));
         }
         Sleep(20);
         WriteBytes(model, "g box\ns 3\nf 1 2 3\n");
         const OwnHandle file = OpenOther(model, FILE_WRITE_ATTRIBUTES, kShareAll);
         EXPECT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kModelChanged, 0, "g box\ns 3\nf 1 2 3\n"},
      {"an editor saves over it and holds its save, sharing no writing",
       [&] {
         WriteBytes(saved, "the user's save\n");
         EXPECT_TRUE(MoveFileExW(saved.c_str(), model.c_str(), MOVEFILE_REPLACE_EXISTING));
         return CreateFileW(model.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
       },
       ReplaceResult::kModelChanged, 0, "the user's save\n"},
      {"a folder in its place",
       [&] {
         fs::remove(model);
         fs::create_directory(model);
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kModelChanged, 0, nullptr},
      {"made read-only",
       [&] {
         SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_READONLY);
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kUntouched, ERROR_ACCESS_DENIED, kOldModel},
      {"made hidden",
       [&] {
         SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_HIDDEN);
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kUntouched, 0, kOldModel, "Is a hidden file"},
      {"made a system file",
       [&] {
         SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_SYSTEM);
         return INVALID_HANDLE_VALUE;
       },
       ReplaceResult::kUntouched, 0, kOldModel, "Is a system file"},
      {"held by a program that shares no writing",
       [&] {
         return CreateFileW(model.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
       },
       ReplaceResult::kUntouched, ERROR_SHARING_VIOLATION, kOldModel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(model, kOldModel);
    const ReadModel read = ReadAndLocate(*platform_, testing::Utf16Path(model));
    ASSERT_NE(read.place, nullptr);
    const HeldResult result(*platform_, temp.path(), kNewModel);
    ReplaceResult replaced;
    {
      const OwnHandle held(c.meanwhile());
      replaced = platform_->ReplaceModel(result.file(), *read.place, read.identity);
    }
    const std::uint32_t error = platform_->LastError();
    EXPECT_EQ(replaced, c.result);
    if (c.result == ReplaceResult::kUntouched && c.reason != nullptr) {
      EXPECT_EQ(platform_->ErrorText(error), c.reason);
    } else if (c.result == ReplaceResult::kUntouched) {
      EXPECT_EQ(error, c.error);
    }
    SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (c.model_after != nullptr) {
      EXPECT_EQ(ReadBytes(model), c.model_after);
    } else {
      EXPECT_FALSE(fs::is_regular_file(model));
      fs::remove(model);
    }
    // The result is still whole in the temporary file, and nothing else is
    // left beside the model.
    EXPECT_EQ(ReadBytes(result.path()), kNewModel);
    EXPECT_FALSE(fs::exists(saved));
  }
}

// Makes `folder` the current folder, and the one before current again when
// it goes, before the scratch folders are removed.
class CurrentFolder {
 public:
  explicit CurrentFolder(const fs::path& folder) : before_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~CurrentFolder() {
    std::error_code error;
    fs::current_path(before_, error);
  }
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;

 private:
  fs::path before_;
};

// The place is fixed when the model is opened: a relative name keeps leading
// to the model that was read after the current folder has changed.
TEST_F(Win32PlatformTest, ThePlaceIsWhereTheModelWasOpened) {
  ScratchDir temp;
  fs::create_directory(dir_ / "one");
  fs::create_directory(dir_ / "two");
  WriteBytes(dir_ / "one" / "model.obj", kOldModel);
  WriteBytes(dir_ / "two" / "model.obj", kOldModel);
  const CurrentFolder current(dir_ / "one");
  const ReadModel read = ReadAndLocate(*platform_, u"model.obj");
  fs::current_path(dir_ / "two");
  ASSERT_NE(read.place, nullptr);
  const HeldResult result(*platform_, temp.path(), kNewModel);
  EXPECT_EQ(platform_->ReplaceModel(result.file(), *read.place, read.identity),
            ReplaceResult::kReplaced);
  EXPECT_EQ(ReadBytes(dir_ / "one" / "model.obj"), kNewModel);
  EXPECT_EQ(ReadBytes(dir_ / "two" / "model.obj"), kOldModel);
}

// A path relative to its drive's current folder may lead up from there with
// ".." or "." right after the drive ("C:..\box.obj"): no name in it ends in a
// dot, and the model is rewritten. A name after them that ends in one is
// still refused.
TEST_F(Win32PlatformTest, ADriveRelativePathUpwardsIsTaken) {
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  fs::create_directory(dir_ / "sub");
  const std::u16string drive = testing::Utf16Path(dir_.path()).substr(0, 2);
  ASSERT_EQ(drive[1], u':');
  const CurrentFolder current(dir_ / "sub");
  for (const std::u16string& path : {drive + u"..\\box.obj", drive + u".\\..\\box.obj"}) {
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    WriteBytes(dir_ / "box.obj", kOldModel);
    testing::ScriptedChoice platform(*platform_, path);
    const PassReport report = SeparationPass(platform);
    EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
    EXPECT_EQ(ReadBytes(dir_ / "box.obj"), kNewModel);
  }
  const std::u16string dotted = drive + u"..\\box.obj.";
  const NarrowPath narrow(*platform_, dotted.c_str(), ConversionCodePage(*platform_));
  EXPECT_FALSE(PlatformFile(*platform_, platform_->OpenForReading(narrow.Name())).valid());
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_INVALID_NAME));
}

// Another program saves the model in place (opens it by name, empties it and
// writes) just as the replacement starts, or once the copy has begun. Whenever
// its save lands, the model holds it in the end: found before the copy, the
// change leaves the model alone; during the copy, the save is refused until
// the model is whole, and then follows it.
TEST_F(Win32PlatformTest, ASaveInPlaceDuringTheReplacementIsNeverLost) {
  ScratchDir temp;
  const fs::path model = dir_ / "model.obj";
  const std::string rewritten(4 << 20, 'n');  // a copy that takes a while
  for (int round = 0; round < 20; ++round) {
    // The saver either races the replacement from its start, or waits until
    // the model has taken the result's length, which it does only once every
    // check has passed and the copy is about to begin.
    const bool during_copy = round % 2 == 1;
    SCOPED_TRACE(::testing::Message()
                 << "round " << round << (during_copy ? ", during the copy" : ""));
    WriteBytes(model, kOldModel);
    const ReadModel read = ReadAndLocate(*platform_, testing::Utf16Path(model));
    ASSERT_NE(read.place, nullptr);
    const HeldResult result(*platform_, temp.path(), rewritten);
    const std::string save = "the user's save, round " + std::to_string(round) + "\n";
    std::atomic<bool> go = false;
    bool saved = false;
    std::thread saver([&] {
      while (!go) {
      }
      const DWORD start = GetTickCount();
      for (WIN32_FILE_ATTRIBUTE_DATA data = {};
           during_copy && GetTickCount() - start < 10000 &&
           !(GetFileAttributesExW(model.c_str(), GetFileExInfoStandard, &data) &&
             data.nFileSizeLow == rewritten.size());) {
      }
      while (!saved && GetTickCount() - start < 10000) {
        const OwnHandle file(CreateFileW(model.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                         TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) continue;  // refused while the model is being replaced
        DWORD written = 0;
        saved = WriteFile(file.get(), save.data(), static_cast<DWORD>(save.size()), &written,
                          nullptr) &&
                written == save.size();
      }
    });
    go = true;
    const ReplaceResult outcome =
        platform_->ReplaceModel(result.file(), *read.place, read.identity);
    saver.join();
    ASSERT_TRUE(saved);
    const std::string after = ReadBytes(model);
    EXPECT_EQ(after == save        ? "the save"
              : after == rewritten ? "the result"
                                   : "a mixture",
              std::string("the save"));
    if (during_copy)
      EXPECT_EQ(outcome, ReplaceResult::kReplaced);
    else
      EXPECT_TRUE(outcome == ReplaceResult::kReplaced || outcome == ReplaceResult::kModelChanged);
  }
}

// A program that holds the model open for writing, sharing that, keeps its
// hold, so nothing keeps it from writing while the result goes in. When it
// does, the replacement says so rather than that the model is the result:
// whether it writes where the copy has been (its bytes stay) or where the
// copy has yet to go (the copy then writes over them), or past the model's
// old end once it is made longer, where the room for the result is being
// taken before the copy begins.
TEST_F(Win32PlatformTest, AHolderThatWritesDuringTheCopyIsFound) {
  ScratchDir temp;
  const fs::path model = dir_ / "model.obj";
  const std::string own = "the holder's bytes";
  const std::size_t size = 16 << 20;  // a copy that takes a while
  const struct {
    const char* name;
    DWORD offset;     // where the holder writes
    bool again;       // again and again, or once
    bool bytes_stay;  // what the model holds after
    bool on_length;   // writes once the model is longer, not once its first bytes changed
  } cases[] = {
      {"where the copy has been", 0, true, true, false},
      {"where the copy has yet to go", static_cast<DWORD>(size) - 1000, false, false, false},
      {"past the old end", static_cast<DWORD>(size) - 1000, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(model, kOldModel);
    const ReadModel read = ReadAndLocate(*platform_, testing::Utf16Path(model));
    ASSERT_NE(read.place, nullptr);
    const HeldResult result(*platform_, temp.path(), std::string(size, 'n'));
    const OwnHandle holder = OpenOther(model, GENERIC_READ | GENERIC_WRITE, kShareAll);
    ASSERT_TRUE(holder.valid());
    std::atomic<bool> done = false;
    bool wrote = false;
    // Once the copy has changed the model's first bytes, or the model has
    // taken the result's length, the holder writes its own.
    std::thread writer([&] {
      while (!done) {
        OVERLAPPED at = {};
        char first[4] = {};
        DWORD n = 0;
        LARGE_INTEGER length = {};
        if (!wrote && c.on_length &&
            (!GetFileSizeEx(holder.get(), &length) || length.QuadPart != std::int64_t{size}))
          continue;
        if (!wrote && !c.on_length &&
            (!ReadFile(holder.get(), first, sizeof first, &n, &at) ||
             std::memcmp(first, kOldModel, sizeof first) == 0))
          continue;
        if (wrote && !c.again) break;
        at = {};
        at.Offset = c.offset;
        wrote =
            WriteFile(holder.get(), own.data(), static_cast<DWORD>(own.size()), &n, &at) || wrote;
      }
    });
    const ReplaceResult outcome =
        platform_->ReplaceModel(result.file(), *read.place, read.identity);
    done = true;
    writer.join();
    EXPECT_TRUE(wrote);
    EXPECT_EQ(outcome, ReplaceResult::kWrittenMeanwhile);
    EXPECT_EQ(ReadBytes(model).substr(c.offset, own.size()) == own, c.bytes_stay);
  }
}

TEST_F(Win32PlatformTest, TempFolderTooLongForItsBuffer) {
  const std::string folder = dir_.path().string() + "\\" + std::string(300, 'd') + "\\";
  const testing::ScopedEnv tmp("TMP", folder.c_str());
  std::u16string result;
  EXPECT_FALSE(platform_->GetTempFolder(&result));
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE));
}

// A temporary name in a folder of more than MAX_PATH - 14 characters would
// not fit the name's buffer of MAX_PATH: no file is made, and the reason is
// a name too long. (Wine would make the file and write its name past the
// buffer's end.)
TEST_F(Win32PlatformTest, TempFolderTooLongForTheTemporaryName) {
  for (const std::size_t length : {MAX_PATH - 14, MAX_PATH - 13, MAX_PATH - 12}) {
    const std::u16string base = testing::Utf16Path(dir_.path()) + u"\\";
    ASSERT_LT(base.size() + 2, length);
    const std::u16string folder = base + std::u16string(length - base.size() - 1, u'd') + u"\\";
    ASSERT_EQ(folder.size(), length);
    const fs::path made(folder);
    fs::create_directory(made);
    std::u16string path;
    const FileHandle file = platform_->CreateTempFile(folder, &path);
    if (length <= MAX_PATH - 14) {
      ASSERT_NE(file, FileHandle::kInvalid) << length;
      EXPECT_TRUE(platform_->RemoveTempFile(path, file));
    } else {
      EXPECT_EQ(file, FileHandle::kInvalid) << length;
      EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE))
          << length;
    }
    EXPECT_TRUE(fs::is_empty(made)) << length;
    fs::remove(made);
  }
}

// A copy that never had the model open leaves it as it was: the pass ends
// with exit code 2 and removes the temporary file.
TEST_F(Win32PlatformTest, ACopyThatNeverBeganRemovesTheTemporaryFile) {
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  WriteBytes(dir_ / "model.obj", kOldModel);
  const OwnHandle locked = OpenOther(dir_ / "model.obj", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(locked.valid());
  testing::ScriptedChoice platform(*platform_, testing::Utf16Path(dir_ / "model.obj"));
  const PassReport report = SeparationPass(platform);
  EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
  EXPECT_EQ(ExitCode(report.outcome), 2);
  EXPECT_FALSE(report.temp_left);
  EXPECT_EQ(report.failure,
            "cannot replace the file: " + platform_->ErrorText(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), kOldModel);
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
}

// Another program that has locked part of the model, or the room past its end
// that the result will take, would refuse the copy part-way, once the model
// had begun to change. The lock is found first and the model left alone.
TEST_F(Win32PlatformTest, ALockedModelIsLeftAlone) {
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  const struct {
    const char* name;
    DWORD flags;
    DWORD offset;
  } cases[] = {
      {"its first bytes, shared", 0, 0},
      {"past its end, where the result goes, exclusively", LOCKFILE_EXCLUSIVE_LOCK, 24},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir_ / "model.obj", kOldModel);
    const OwnHandle holder = OpenOther(dir_ / "model.obj", GENERIC_READ, kShareAll);
    ASSERT_TRUE(holder.valid());
    OVERLAPPED range = {};
    range.Offset = c.offset;
    ASSERT_TRUE(LockFileEx(holder.get(), c.flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 16, 0, &range));
    testing::ScriptedChoice platform(*platform_, testing::Utf16Path(dir_ / "model.obj"));
    const PassReport report = SeparationPass(platform);
    EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
    EXPECT_EQ(report.failure,
              "cannot replace the file: " + platform_->ErrorText(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(ReadBytes(dir_ / "model.obj"), kOldModel);
    EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  }
}

TEST_F(Win32PlatformTest, AReadOnlyModelIsLeftAlone) {
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  WriteBytes(dir_ / "model.obj", kOldModel);
  ASSERT_TRUE(SetFileAttributesW((dir_ / "model.obj").c_str(), FILE_ATTRIBUTE_READONLY));
  testing::ScriptedChoice platform(*platform_, testing::Utf16Path(dir_ / "model.obj"));
  const PassReport report = SeparationPass(platform);
  SetFileAttributesW((dir_ / "model.obj").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
  EXPECT_EQ(report.failure,
            "cannot replace the file: " + platform_->ErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), kOldModel);
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
}

// A hidden or system model is left alone, as the system's copy leaves it, but
// the user may write it: the reason is the attribute, not "Access is denied",
// which would send them after permissions.
TEST_F(Win32PlatformTest, AHiddenOrSystemModelIsLeftAloneForThatReason) {
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  const fs::path model = dir_ / "model.obj";
  const struct {
    DWORD attributes;
    const char* reason;
  } cases[] = {
      {FILE_ATTRIBUTE_HIDDEN, "Is a hidden file"},
      {FILE_ATTRIBUTE_SYSTEM, "Is a system file"},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, "Is a system file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    WriteBytes(model, kOldModel);
    ASSERT_TRUE(SetFileAttributesW(model.c_str(), c.attributes));
    // The user may open it for writing: nothing but the attribute refuses.
    ASSERT_TRUE(OpenOther(model, GENERIC_WRITE, kShareAll).valid());
    testing::ScriptedChoice platform(*platform_, testing::Utf16Path(model));
    const PassReport report = SeparationPass(platform);
    EXPECT_EQ(GetFileAttributesW(model.c_str()) & c.attributes, c.attributes);
    SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
    EXPECT_EQ(report.failure, std::string("cannot replace the file: ") + c.reason);
    EXPECT_EQ(ReadBytes(model), kOldModel);
    EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  }
}

// An editor that saves while the pass runs keeps its save; the pass says why
// it did not replace the model.
TEST_F(Win32PlatformTest, ASaveDuringThePassIsKept) {
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  WriteBytes(dir_ / "model.obj", kOldModel);
  testing::ScriptedChoice chosen(*platform_, testing::Utf16Path(dir_ / "model.obj"));
  testing::FaultPlatform platform(chosen);
  platform.Before(testing::Operation::kReplaceModel, 1, [&] {
    WriteBytes(dir_ / "model.obj.new", "the user's save\n");
    ASSERT_TRUE(MoveFileExW((dir_ / "model.obj.new").c_str(), (dir_ / "model.obj").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
  });
  const PassReport report = SeparationPass(platform);
  EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
  EXPECT_EQ(ExitCode(report.outcome), 2);
  EXPECT_EQ(report.failure, "the model changed while it was being rewritten");
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "the user's save\n");
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  EXPECT_EQ(testing::CountFiles(dir_.path()), 1u);
}

TEST_F(Win32PlatformTest, ErrorTextIsTheSystemsText) {
  const std::string text = platform_->ErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.back(), '.');
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(text.find("error "), std::string::npos) << text;
}

// On the NT family, every request answers the thread's code page.
TEST_F(Win32PlatformTest, CodePageOfTheNtFamily) {
  VersionInfo version;
  ASSERT_TRUE(platform_->QueryVersion(&version));
  EXPECT_EQ(version.platform_id, static_cast<std::uint32_t>(VER_PLATFORM_WIN32_NT));
  EXPECT_GE(version.major, 5u);
  EXPECT_EQ(DecideCodePageMode(*platform_), CodePageMode::kThreadCodePage);
  EXPECT_EQ(ConversionCodePage(*platform_), kThreadAnsiCodePage);

  // The looked-up way agrees with the system's ANSI code page.
  char text[7] = {};
  EXPECT_GT(platform_->LocaleAnsiCodePage(text, 7), 1);
  EXPECT_EQ(AnswerCodePage(*platform_, CodePageMode::kLookedUp), platform_->AnsiCodePage());
  EXPECT_EQ(platform_->AnsiCodePage(), GetACP());
}

// Names in a script the ANSI code page lacks, with what the code page makes
// of them. Which ones the code page lacks depends on the system's language.
struct ForeignName {
  std::u16string name;
  std::string narrowed;  // as the code page narrows it
};

// The decoy is made and read by its code-page name, so that it is exactly the
// file that opening by that name would reach.
void WriteByCodePageName(const fs::path& folder, const std::string& name, std::string_view bytes) {
  const std::string path = folder.string() + "\\" + name;
  const OwnHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.valid()) << path;
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

std::string ReadByCodePageName(const fs::path& folder, const std::string& name) {
  const std::string path = folder.string() + "\\" + name;
  const OwnHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return "(cannot open " + path + ")";
  char buffer[256];
  DWORD got = 0;
  if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return "(cannot read)";
  return std::string(buffer, got);
}

std::vector<ForeignName> NamesTheCodePageLacks(Platform& platform) {
  const std::u16string candidates[] = {
      u"\u0100.obj",                                      // A with macron
      u"\u039C\u03BF\u03BD\u03C4\u03AD\u03BB\u03BF.obj",  // Greek
      u"\u041C\u043E\u0434\u0435\u043B\u044C.obj",        // Cyrillic
      u"\u6A21\u578B.obj",                                // CJK
  };
  std::vector<ForeignName> names;
  for (const std::u16string& name : candidates) {
    const std::string narrowed = Narrowed(platform, name);
    const int size = MultiByteToWideChar(CP_THREAD_ACP, 0, narrowed.c_str(), -1, nullptr, 0);
    std::wstring back(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, narrowed.c_str(), -1, back.data(), size);
    back.pop_back();
    if (std::u16string(back.begin(), back.end()) != name) names.push_back({name, narrowed});
  }
  return names;
}

// Files and folders made through the prefix that lifts the old path limit,
// removed through it, the last made first, when the test is done: the
// scratch folder's own removal cannot reach that deep.
class DeepPaths {
 public:
  DeepPaths() = default;
  ~DeepPaths() {
    for (auto path = made_.rbegin(); path != made_.rend(); ++path)
      if (!DeleteFileW(path->c_str())) RemoveDirectoryW(path->c_str());
  }
  DeepPaths(const DeepPaths&) = delete;
  DeepPaths& operator=(const DeepPaths&) = delete;
  // `path` with the prefix, noted for removal.
  std::wstring Add(const std::wstring& path) { return made_.emplace_back(L"\\\\?\\" + path); }

 private:
  std::vector<std::wstring> made_;
};

// A model deep in folders, its path longer than the 260 characters of the
// old file functions, is rewritten whether or not its name fits the code page.
TEST_F(Win32PlatformTest, AModelPastTheOldPathLimitIsRewritten) {
  const std::vector<ForeignName> foreign = NamesTheCodePageLacks(*platform_);
  ASSERT_FALSE(foreign.empty()) << "code page " << GetACP() << " expresses every test name";
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  // Folders made through the prefix that lifts the limit; the model's path
  // is given to the pass as a user would choose it, without.
  DeepPaths deep;
  std::wstring folder = dir_.path().wstring();
  for (int depth = 0; folder.size() < 300; ++depth) {
    folder += L"\\folder-" + std::to_wstring(depth) + std::wstring(40, L'x');
    ASSERT_TRUE(CreateDirectoryW(deep.Add(folder).c_str(), nullptr));
  }
  const std::u16string names[] = {u"model.obj", foreign.front().name};
  for (const std::u16string& name : names) {
    const std::wstring path = folder + L"\\" + std::wstring(name.begin(), name.end());
    SCOPED_TRACE(&name == names ? "a plain name" : "a name the code page lacks");
    {
      const OwnHandle file(CreateFileW(deep.Add(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      ASSERT_TRUE(file.valid());
      DWORD written = 0;
      ASSERT_TRUE(WriteFile(file.get(), kOldModel, sizeof kOldModel - 1, &written, nullptr));
    }
    testing::ScriptedChoice platform(*platform_, std::u16string(path.begin(), path.end()));
    const PassReport report = SeparationPass(platform);
    EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
    EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  }
}

TEST_F(Win32PlatformTest, NarrowingReplacesWhatTheCodePageLacks) {
  const std::vector<ForeignName> names = NamesTheCodePageLacks(*platform_);
  ASSERT_FALSE(names.empty()) << "code page " << GetACP() << " expresses every test name";
  if (GetACP() == 1252) {
    // The similar character where there is one, the default one elsewhere.
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0].narrowed, "A.obj");
    EXPECT_EQ(names[3].narrowed, "??.obj");
  }
}

// A chosen name the code page cannot express is still the file that is read
// and rewritten, never the file its narrowed name happens to name.
TEST_F(Win32PlatformTest, ForeignNamesReachTheChosenFile) {
  const std::vector<ForeignName> names = NamesTheCodePageLacks(*platform_);
  ASSERT_FALSE(names.empty()) << "code page " << GetACP() << " expresses every test name";

  const char kModel[] = "g box\r\ns 1\r\nf 1 2 3\r\n";
  const char kRewritten[] = "g object1\r\no object1\r\nusemtl object1\r\ns 1\r\nf 1 2 3\r\n";
  const char kDecoy[] = "g decoy\r\ns 9\r\n";
  // A temporary folder with a plain name, and one whose name the code page
  // cannot express either.
  const fs::path temps[] = {dir_.path() / "temp",
                            dir_.path() / fs::path(u"\u0422\u041C\u041F\u03A4")};
  const testing::ScopedEnv tmp("TMP", nullptr);
  for (const fs::path& temp : temps) {
    SCOPED_TRACE(temp.string());
    fs::create_directory(temp);
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", (temp.wstring() + L"\\").c_str()));
    // Beside the temporary folder, in a folder with a plain name.
    const fs::path models = temp.parent_path() / ("models-" + std::to_string(&temp - temps));
    fs::create_directory(models);
    int decoys = 0;
    for (const ForeignName& name : names) {
      SCOPED_TRACE(name.narrowed);
      const fs::path model = models / fs::path(name.name);
      WriteBytes(model, kModel);
      // A file by the narrowed name, where the name can be a file's.
      const bool decoy = name.narrowed.find('?') == std::string::npos;
      if (decoy) {
        WriteByCodePageName(models, name.narrowed, kDecoy);
        ++decoys;
      }
      testing::ScriptedChoice platform(*platform_, testing::Utf16Path(model));
      const PassReport report = SeparationPass(platform);
      EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
      EXPECT_EQ(ReadBytes(model), kRewritten);
      if (decoy) {
        EXPECT_EQ(ReadByCodePageName(models, name.narrowed), kDecoy);
      }
      EXPECT_EQ(testing::CountFiles(temp), 0u);
    }
    if (GetACP() == 1252) {
      EXPECT_EQ(decoys, 1) << "A.obj beside the A with macron";
    }
  }
  SetEnvironmentVariableW(L"TMP", nullptr);
}

// The open calls themselves: a name that does not turn back into its UTF-16
// path opens by the UTF-16 path, for reading and for writing alike.
TEST_F(Win32PlatformTest, OpensByTheUtf16PathWhenTheNarrowNameIsNotFaithful) {
  const std::vector<ForeignName> names = NamesTheCodePageLacks(*platform_);
  ASSERT_FALSE(names.empty());
  const ForeignName& name = names.front();
  const fs::path chosen = dir_.path() / fs::path(name.name);
  WriteBytes(chosen, "chosen");
  const bool decoy = name.narrowed.find('?') == std::string::npos;
  if (decoy) WriteByCodePageName(dir_.path(), name.narrowed, "decoy");

  const std::u16string path = testing::Utf16Path(chosen);
  const NarrowPath narrow(*platform_, path.c_str(), ConversionCodePage(*platform_));
  {
    const PlatformFile file(*platform_, platform_->OpenForReading(narrow.Name()));
    ASSERT_TRUE(file.valid());
    char buffer[16];
    std::uint32_t got = 0;
    ASSERT_TRUE(platform_->Read(file.get(), buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "chosen");
  }
  {
    const PlatformFile file(*platform_, platform_->OpenForWriting(narrow.Name()));
    ASSERT_TRUE(file.valid());
    std::uint32_t written = 0;
    ASSERT_TRUE(platform_->Write(file.get(), "written", 7, &written));
  }
  EXPECT_EQ(ReadBytes(chosen), "written");
  if (decoy) {
    EXPECT_EQ(ReadByCodePageName(dir_.path(), name.narrowed), "decoy");
  }

  // A code-page name that turns back into some other path: the UTF-16 path
  // is what was asked for, so that is the file looked for.
  WriteBytes(dir_ / "plain.obj", "plain");
  const std::u16string plain = testing::Utf16Path(dir_ / "plain.obj");
  const NarrowPath plain_narrow(*platform_, plain.c_str(), ConversionCodePage(*platform_));
  FileName mismatched = plain_narrow.Name();
  const std::u16string other = testing::Utf16Path(dir_ / "other.obj");
  mismatched.wide = other.c_str();
  const PlatformFile file(*platform_, platform_->OpenForReading(mismatched));
  EXPECT_FALSE(file.valid());
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

// The thread's code page, which names are narrowed in, and the one the file
// functions read names in need not agree: a user's regional format may
// differ from the language for programs that are not Unicode, and a program
// may switch the file functions to the OEM code page. A name whose narrowed
// bytes read as another name there is opened by its UTF-16 name, and the
// file that those bytes name is left alone.
class CodePages {
 public:
  CodePages(LCID thread_locale, bool oem) : old_locale_(GetThreadLocale()), oem_(oem) {
    SetThreadLocale(thread_locale);
    if (oem_) SetFileApisToOEM();
  }
  ~CodePages() {
    SetThreadLocale(old_locale_);
    if (oem_) SetFileApisToANSI();
  }
  CodePages(const CodePages&) = delete;
  CodePages& operator=(const CodePages&) = delete;

 private:
  LCID old_locale_;
  bool oem_;
};

std::wstring AsTheFileFunctionsReadIt(const std::string& narrow) {
  const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int size = MultiByteToWideChar(code_page, 0, narrow.c_str(), -1, nullptr, 0);
  std::wstring name(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(code_page, 0, narrow.c_str(), -1, name.data(), size);
  name.pop_back();
  return name;
}

TEST_F(Win32PlatformTest, NamesAreCheckedInTheFileFunctionsCodePage) {
  ASSERT_EQ(GetACP(), 1252u) << "the cases are written for an English system";
  const struct {
    const char* name;
    LCID thread_locale;
    bool oem;
    std::u16string model;
    std::wstring neighbour;  // what the file functions make of the narrowed name
  } cases[] = {
      {"thread code page 1251, file functions in 1252",
       MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT), false,
       u"\u043E\u0442\u0447\u0451\u0442.obj", L"\u00EE\u00F2\u00F7\u00B8\u00F2.obj"},
      {"file functions in the OEM code page 437",
       MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT), true,
       u"r\u00E9sum\u00E9.obj", L"r\u0398sum\u0398.obj"},
  };
  ScratchDir temp;
  const testing::ScopedTempFolder tmp(temp.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path model = dir_.path() / fs::path(c.model);
    const fs::path neighbour = dir_.path() / fs::path(c.neighbour);
    WriteBytes(model, kOldModel);
    WriteBytes(neighbour, "g decoy\ns 9\n");
    PassReport report;
    {
      const CodePages code_pages(c.thread_locale, c.oem);
      // The case holds: the name narrows faithfully in the thread's code page,
      // and the file functions read those bytes as the neighbour's name.
      const std::string narrowed = Narrowed(*platform_, c.model);
      ASSERT_EQ(AsTheFileFunctionsReadIt(narrowed), c.neighbour);
      testing::ScriptedChoice platform(*platform_, testing::Utf16Path(model));
      report = SeparationPass(platform);
    }
    EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
    EXPECT_EQ(ReadBytes(model), kNewModel);
    EXPECT_EQ(ReadBytes(neighbour), "g decoy\ns 9\n");
    EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
    fs::remove(model);
    fs::remove(neighbour);
  }
}

}  // namespace
}  // namespace sgsplit
