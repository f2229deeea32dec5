// The Win32 platform against the real system calls: sharing and dispositions
// of the opens, reads across block edges, temporary names, the copy, the code
// page, and names that the code page cannot express.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/conversion_code_page.h"
#include "app/narrow_path.h"
#include "app/separation_pass.h"
#include "platform/platform.h"
#include "tests/test_util.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

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
  ASSERT_TRUE(platform_->CreateTempFile(folder, &first));
  ASSERT_TRUE(platform_->CreateTempFile(folder, &second));
  EXPECT_NE(first, second);
  for (const std::u16string& path : {first, second}) {
    const fs::path file(path);
    EXPECT_TRUE(fs::equivalent(file.parent_path(), dir_.path()));
    // Up to four hex digits; Wine writes them in lower case.
    // Up to four hex digits; Wine writes them in lower case.
    EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex("obj[0-9A-Fa-f]{1,4}\\.tmp")))
        << file.filename().string();
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_TRUE(platform_->RemoveFile(path));
    EXPECT_FALSE(fs::exists(file));
  }
  EXPECT_FALSE(platform_->RemoveFile(first));
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));

  // A folder that does not exist yields no temporary file.
  std::u16string none;
  EXPECT_FALSE(platform_->CreateTempFile(testing::Utf16Path(dir_ / "none") + u"\\", &none));
  EXPECT_FALSE(fs::exists(dir_ / "none"));
}

TEST_F(Win32PlatformTest, TempFolderTooLongForItsBuffer) {
  const std::string folder = dir_.path().string() + "\\" + std::string(300, 'd') + "\\";
  const testing::ScopedEnv tmp("TMP", folder.c_str());
  std::u16string result;
  EXPECT_FALSE(platform_->GetTempFolder(&result));
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(Win32PlatformTest, CopyOverAnExistingFile) {
  WriteBytes(dir_ / "new.tmp", "short\r\n");
  WriteBytes(dir_ / "model.obj", std::string(10000, 'x'));
  EXPECT_EQ(platform_->CopyOver(testing::Utf16Path(dir_ / "new.tmp"),
                                testing::Utf16Path(dir_ / "model.obj")),
            ReplaceResult::kReplaced);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "short\r\n");
  EXPECT_EQ(ReadBytes(dir_ / "new.tmp"), "short\r\n");

  // A target held without sharing writing cannot be copied over.
  const OwnHandle locked = OpenOther(dir_ / "model.obj", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(locked.valid());
  WriteBytes(dir_ / "new.tmp", "other\r\n");
  EXPECT_EQ(platform_->CopyOver(testing::Utf16Path(dir_ / "new.tmp"),
                                testing::Utf16Path(dir_ / "model.obj")),
            ReplaceResult::kMaybeDamaged);
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(platform_->ErrorText(ERROR_SHARING_VIOLATION).empty());
}

// When the copy fails, the pass ends with exit code 2 and keeps the rewritten
// model in the temporary file.
TEST_F(Win32PlatformTest, FailedCopyKeepsTheTemporaryFile) {
  ScratchDir temp;
  const std::string temp_text = temp.path().string() + "\\";
  const testing::ScopedEnv tmp("TMP", temp_text.c_str());
  WriteBytes(dir_ / "model.obj", "g box\ns 1\nf 1 2 3\n");
  const OwnHandle locked = OpenOther(dir_ / "model.obj", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(locked.valid());
  testing::ScriptedChoice platform(*platform_, testing::Utf16Path(dir_ / "model.obj"));
  const PassReport report = SeparationPass(platform);
  EXPECT_EQ(report.outcome, PassOutcome::kReplaceFailed);
  EXPECT_EQ(ExitCode(report.outcome), 2);
  EXPECT_TRUE(report.temp_left);
  EXPECT_EQ(report.failure,
            "cannot replace the file: " + platform_->ErrorText(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "g box\ns 1\nf 1 2 3\n");
  ASSERT_EQ(testing::CountFiles(temp.path()), 1u);
  EXPECT_EQ(ReadBytes(report.temp_path),
            "g object1\r\no object1\r\nusemtl object1\r\ns 1\r\nf 1 2 3\r\n");
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

}  // namespace
}  // namespace sgsplit
