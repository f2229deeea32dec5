#include "tests/fault_platform.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace sgsplit::testing {

Operation OperationOf(Fault fault) {
  switch (fault) {
    case Fault::kOpenForReading:
      return Operation::kOpenForReading;
    case Fault::kOpenForWriting:
      return Operation::kOpenForWriting;
    case Fault::kRead:
      return Operation::kRead;
    case Fault::kSeek:
      return Operation::kSeek;
    case Fault::kWriteFail:
    case Fault::kWriteShort:
      return Operation::kWrite;
    case Fault::kClose:
      return Operation::kClose;
    case Fault::kTempFolder:
      return Operation::kTempFolder;
    case Fault::kTempFile:
      return Operation::kTempFile;
    case Fault::kIdentify:
      return Operation::kIdentify;
    case Fault::kLocateModel:
      return Operation::kLocateModel;
    case Fault::kReplaceUntouched:
    case Fault::kReplaceChanged:
    case Fault::kReplaceDamaged:
    case Fault::kReplaceReplaced:
      return Operation::kReplaceModel;
    case Fault::kRemoveFile:
      return Operation::kRemoveFile;
    case Fault::kWideToNarrow:
      return Operation::kWideToNarrow;
    case Fault::kAllocate:
      return Operation::kAllocate;
  }
  return Operation::kAllocate;
}

const char* NameOf(Fault fault) {
  switch (fault) {
    case Fault::kOpenForReading:
      return "open for reading";
    case Fault::kOpenForWriting:
      return "open for writing";
    case Fault::kRead:
      return "read";
    case Fault::kSeek:
      return "seek";
    case Fault::kWriteFail:
      return "write fails";
    case Fault::kWriteShort:
      return "write short";
    case Fault::kClose:
      return "close";
    case Fault::kTempFolder:
      return "temporary folder";
    case Fault::kTempFile:
      return "temporary file";
    case Fault::kIdentify:
      return "identify";
    case Fault::kLocateModel:
      return "locate the model";
    case Fault::kReplaceUntouched:
      return "replace, model untouched";
    case Fault::kReplaceChanged:
      return "replace, model changed";
    case Fault::kReplaceDamaged:
      return "replace, model damaged";
    case Fault::kReplaceReplaced:
      return "replace, model replaced meanwhile";
    case Fault::kRemoveFile:
      return "remove";
    case Fault::kWideToNarrow:
      return "narrowing";
    case Fault::kAllocate:
      return "allocate";
  }
  return "?";
}

void FaultPlatform::Arm(Fault fault, std::size_t call, bool persistent) {
  armed_.push_back({fault, call, persistent});
}

void FaultPlatform::Before(Operation operation, std::size_t call, std::function<void()> hook) {
  hooks_.push_back({operation, call, std::move(hook)});
}

const Fault* FaultPlatform::Hit(Operation operation) {
  const std::size_t count = ++calls_[static_cast<std::size_t>(operation)];
  for (const Hook& hook : hooks_)
    if (hook.operation == operation && hook.call == count) hook.run();
  const Fault* hit = nullptr;
  for (const Armed& armed : armed_) {
    if (OperationOf(armed.fault) == operation &&
        (count == armed.call || (armed.persistent && count > armed.call)))
      hit = &armed.fault;
  }
  injected_last_ = hit != nullptr;
  if (hit) ++injected_;
  return hit;
}

std::uint32_t FaultPlatform::LastError() {
  return injected_last_ ? kInjectedError : target().LastError();
}

bool FaultPlatform::GetTempFolder(std::u16string* folder) {
  if (Fails(Fault::kTempFolder)) return false;
  return target().GetTempFolder(folder);
}

FileHandle FaultPlatform::CreateTempFile(const std::u16string& folder, std::u16string* path) {
  if (Fails(Fault::kTempFile)) return FileHandle::kInvalid;
  const FileHandle file = target().CreateTempFile(folder, path);
  if (file != FileHandle::kInvalid) open_[file] = false;
  return file;
}

bool FaultPlatform::RemoveTempFile(const std::u16string& path, FileHandle file) {
  open_.erase(file);
  if (Fails(Fault::kRemoveFile)) {
    // The handle is released all the same; the file stays.
    target().Close(file);
    injected_last_ = true;
    return false;
  }
  return target().RemoveTempFile(path, file);
}

bool FaultPlatform::Identify(FileHandle file, FileIdentity* identity) {
  if (Fails(Fault::kIdentify)) return false;
  return target().Identify(file, identity);
}

std::unique_ptr<ModelPlace> FaultPlatform::LocateModel(FileHandle file, const FileName& name) {
  if (Fails(Fault::kLocateModel)) return nullptr;
  model_name_ = name.narrow;
  return target().LocateModel(file, name);
}

ReplaceResult FaultPlatform::ReplaceModel(FileHandle result, ModelPlace& place,
                                          const FileIdentity& read) {
  const Fault* fault = Hit(Operation::kReplaceModel);
  if (fault == nullptr) return target().ReplaceModel(result, place, read);
  if (*fault == Fault::kReplaceDamaged) {
    // Broken off part way: the model holds neither version.
    std::error_code error;
    const auto size = std::filesystem::file_size(model_name_, error);
    if (!error) std::filesystem::resize_file(model_name_, size / 2, error);
    return ReplaceResult::kMaybeDamaged;
  }
  if (*fault == Fault::kReplaceReplaced) {
    // An editor's save lands on the model's name while the result goes into
    // the file that name led to.
    const std::filesystem::path save = model_name_ + ".save";
    std::ofstream(save, std::ios::binary) << kOtherProgramsSave;
    std::error_code error;
    std::filesystem::rename(save, model_name_, error);
    return ReplaceResult::kReplacedMeanwhile;
  }
  return *fault == Fault::kReplaceChanged ? ReplaceResult::kModelChanged
                                          : ReplaceResult::kUntouched;
}

int FaultPlatform::WideToNarrow(std::uint32_t code_page, const char16_t* text, int length,
                                char* out, int size) {
  if (Fails(Fault::kWideToNarrow)) return 0;
  return target().WideToNarrow(code_page, text, length, out, size);
}

FileHandle FaultPlatform::OpenForReading(const FileName& name) {
  if (Fails(Fault::kOpenForReading)) return FileHandle::kInvalid;
  const FileHandle file = target().OpenForReading(name);
  if (file != FileHandle::kInvalid) open_[file] = true;
  return file;
}

FileHandle FaultPlatform::OpenForWriting(const FileName& name) {
  if (Fails(Fault::kOpenForWriting)) return FileHandle::kInvalid;
  const FileHandle file = target().OpenForWriting(name);
  if (file != FileHandle::kInvalid) open_[file] = false;
  return file;
}

bool FaultPlatform::Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* got) {
  if (Fails(Fault::kRead)) return false;
  return target().Read(file, buffer, size, got);
}

bool FaultPlatform::Seek(FileHandle file, std::int64_t offset) {
  if (Fails(Fault::kSeek)) return false;
  return target().Seek(file, offset);
}

bool FaultPlatform::Write(FileHandle file, const void* data, std::uint32_t size,
                          std::uint32_t* written) {
  const Fault* fault = Hit(Operation::kWrite);
  if (fault == nullptr) return target().Write(file, data, size, written);
  *written = 0;
  if (*fault == Fault::kWriteShort) {
    // Part of the bytes really reach the file, as on a disk that fills up.
    const bool ok = target().Write(file, data, size / 2, written);
    injected_last_ = true;
    return ok;
  }
  return false;
}

bool FaultPlatform::Close(FileHandle file) {
  const auto open = open_.find(file);
  bool reader = false;
  if (open == open_.end()) {
    ++stray_closes_;
  } else {
    reader = open->second;
    open_.erase(open);
  }
  if (Hit(Operation::kClose) == nullptr) return target().Close(file);
  // The handle is gone all the same, as the systems release it on a failed close.
  target().Close(file);
  injected_last_ = true;
  failed_close_was_reader_ = reader;
  return false;
}

std::unique_ptr<std::byte[]> FaultPlatform::Allocate(std::size_t size) {
  if (Fails(Fault::kAllocate)) {
    failed_allocation_size_ = size;
    return nullptr;
  }
  return target().Allocate(size);
}

}  // namespace sgsplit::testing
