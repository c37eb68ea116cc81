// Standard input and output as the request loop needs them: stream buffers over a file
// descriptor that never throw. A failed read is the end of input; a descriptor that is not
// ready (a non-blocking pipe that is empty or full) is waited for, so no request is lost and
// no answer is cut short; an output that is gone for good puts the stream in a failed state.
#pragma once

#include <array>
#include <streambuf>
#include <string>

namespace caretsafe {

class FdInputBuffer : public std::streambuf {
 public:
  // With `stopFd` (see platform/stop_request.h), the input also ends, before the next read,
  // once that descriptor is readable.
  explicit FdInputBuffer(int fd, int stopFd = -1) : fd_(fd), stopFd_(stopFd) {}

 protected:
  int_type underflow() override;

 private:
  bool stopped();

  int fd_;
  int stopFd_;
  bool ended_ = false;  // once the input has ended or failed, it stays ended
  std::array<char, 64 * 1024> buffer_{};
};

class FdOutputBuffer : public std::streambuf {
 public:
  explicit FdOutputBuffer(int fd) : fd_(fd) {}

 protected:
  // Bytes collect in memory until the stream is flushed; a flush writes them all.
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize size) override;
  int sync() override;

 private:
  int fd_;
  bool gone_ = false;  // a write failed for good: nothing written later can arrive
  std::string pending_;
};

// Whether the descriptor is open. A process started with a closed standard descriptor would
// otherwise hand that number to the next file it opens.
bool isOpenDescriptor(int fd);

}  // namespace caretsafe
