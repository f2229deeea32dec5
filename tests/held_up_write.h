// A write of a page of 'a' and a page of 'b' that the kernel holds up part
// way, as the write of a program that is not scheduled is: the page of 'b'
// it writes from is not there yet, and the write waits for it.
#ifndef SGSPLIT_TESTS_HELD_UP_WRITE_H_
#define SGSPLIT_TESTS_HELD_UP_WRITE_H_

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "platform/posix_fd.h"

namespace sgsplit {

class HeldUpWrite {
 public:
  using WriteCall = std::function<ssize_t(const char* bytes, std::size_t size)>;

  HeldUpWrite() = default;
  ~HeldUpWrite();
  HeldUpWrite(const HeldUpWrite&) = delete;
  HeldUpWrite& operator=(const HeldUpWrite&) = delete;

  // Starts `write` on a thread of its own and returns once it is held up;
  // false, with the reason in `why`, where the system makes no such pages
  // (userfaultfd).
  bool Start(WriteCall write, std::string* why);
  std::size_t page() const { return page_; }
  // Lets the write go on and returns what it returned.
  ssize_t Finish();

 private:
  struct Unmap {
    std::size_t size;
    void operator()(char* pages) const;
  };
  UniqueFd faults_;
  std::size_t page_ = 0;
  std::unique_ptr<char, Unmap> pages_{nullptr, Unmap{0}};
  std::future<ssize_t> writing_;
  bool finished_ = false;
  ssize_t written_ = -1;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TESTS_HELD_UP_WRITE_H_
