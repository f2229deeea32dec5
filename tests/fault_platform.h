// A platform for tests that makes a chosen call fail.
//
// It wraps a real platform and forwards every call to it, counting the calls
// of each operation, until the armed call comes: that one (and, when armed
// persistently, every later call of the same operation) fails the way the
// armed fault says. It also keeps the handles that are open, so that a test
// can see that every file opened was closed exactly once.
#ifndef SGSPLIT_TESTS_FAULT_PLATFORM_H_
#define SGSPLIT_TESTS_FAULT_PLATFORM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sgsplit::testing {

// The operations whose calls are counted.
enum class Operation {
  kOpenForReading,
  kOpenForWriting,
  kRead,
  kSeek,
  kWrite,
  kClose,
  kTempFolder,
  kTempFile,
  kIdentify,
  kLocateModel,
  kReplaceModel,
  kRemoveFile,
  kWideToNarrow,
  kAllocate,
};
inline constexpr std::size_t kOperationCount = 14;

// The ways a call can be made to fail.
enum class Fault {
  kOpenForReading,  // the file cannot be opened
  kOpenForWriting,
  kRead,        // the read reports an error
  kSeek,        // the step back after a one-byte look fails
  kWriteFail,   // the write reports an error and writes nothing
  kWriteShort,  // the write succeeds but takes only part of the bytes
  kClose,       // the handle is released but the close reports an error
  kTempFolder,
  kTempFile,
  kIdentify,          // a file's identity cannot be read
  kLocateModel,       // the model's folder cannot be opened
  kReplaceUntouched,  // putting the result in place fails and leaves the model as it was
  kReplaceChanged,    // the model is found changed
  kReplaceDamaged,    // putting the result in place fails after cutting the model short
  kReplaceReplaced,   // another program renames its own file over the model meanwhile
  kRemoveFile,        // the file stays where it is
  kWideToNarrow,      // the conversion returns 0
  kAllocate,          // no memory
};
inline constexpr std::size_t kFaultCount = 18;

Operation OperationOf(Fault fault);
const char* NameOf(Fault fault);

// The error code that injected failures leave for LastError.
inline constexpr std::uint32_t kInjectedError = 5;
// What the model holds after kReplaceReplaced.
inline constexpr char kOtherProgramsSave[] = "another program's save\n";

class FaultPlatform final : public PlatformWrapper {
 public:
  explicit FaultPlatform(Platform& target) : PlatformWrapper(target) {}

  // Makes call number `call` (counted from 1) of the fault's operation fail,
  // and with `persistent` every call after it as well. Faults of different
  // operations can be armed together.
  void Arm(Fault fault, std::size_t call, bool persistent = false);
  // Runs `hook` just before call number `call` of `operation` goes on: the
  // place to play another program at a known point of the run.
  void Before(Operation operation, std::size_t call, std::function<void()> hook);

  std::size_t Calls(Operation operation) const {
    return calls_[static_cast<std::size_t>(operation)];
  }
  // How many calls were made to fail.
  std::size_t Injected() const { return injected_; }
  // Handles opened and not yet closed.
  std::size_t OpenHandles() const { return open_.size(); }
  // Closes of a handle that was not open (never opened, or closed already).
  std::size_t StrayCloses() const { return stray_closes_; }
  // For a failed close: whether the handle had been opened for reading.
  bool FailedCloseWasReader() const { return failed_close_was_reader_; }
  // For a failed allocation: the size asked for.
  std::size_t FailedAllocationSize() const { return failed_allocation_size_; }

  bool GetTempFolder(std::u16string* folder) override;
  FileHandle CreateTempFile(const std::u16string& folder, std::u16string* path) override;
  bool RemoveTempFile(const std::u16string& path, FileHandle file) override;
  bool Identify(FileHandle file, FileIdentity* identity) override;
  std::unique_ptr<ModelPlace> LocateModel(FileHandle file, const FileName& name) override;
  ReplaceResult ReplaceModel(FileHandle result, ModelPlace& place,
                             const FileIdentity& read) override;
  int WideToNarrow(std::uint32_t code_page, const char16_t* text, int length, char* out,
                   int size) override;
  FileHandle OpenForReading(const FileName& name) override;
  FileHandle OpenForWriting(const FileName& name) override;
  bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* got) override;
  bool Seek(FileHandle file, std::int64_t offset) override;
  bool Write(FileHandle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override;
  bool Close(FileHandle file) override;
  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override;
  std::uint32_t LastError() override;

 private:
  struct Armed {
    Fault fault;
    std::size_t call;
    bool persistent;
  };

  // Counts a call of `operation`; the fault it is to fail with, or null.
  const Fault* Hit(Operation operation);
  // Counts a call of the fault's operation; true when it is to fail.
  bool Fails(Fault fault) { return Hit(OperationOf(fault)) != nullptr; }

  struct Hook {
    Operation operation;
    std::size_t call;
    std::function<void()> run;
  };

  std::array<std::size_t, kOperationCount> calls_{};
  std::vector<Armed> armed_;
  std::vector<Hook> hooks_;
  std::string model_name_;  // as the model was located, for a damaging fault
  std::size_t injected_ = 0;
  bool injected_last_ = false;       // the last call made was failed here
  std::map<FileHandle, bool> open_;  // each open handle, true when opened for reading
  std::size_t stray_closes_ = 0;
  bool failed_close_was_reader_ = false;
  std::size_t failed_allocation_size_ = 0;
};

}  // namespace sgsplit::testing

#endif  // SGSPLIT_TESTS_FAULT_PLATFORM_H_
