#include "app/fd_streams.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace caretsafe {
namespace {

// Waits until the descriptor is ready for `events`; false when it cannot be waited for.
bool waitFor(int fd, short events) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, -1);
    if (ready > 0) return true;  // ready, or hung up or in error: the next call tells which
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool notReady(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

bool FdInputBuffer::stopped() {
  if (stopFd_ < 0) return false;
  // Waits for input or the stop, whichever comes first; a stop wins a tie, so that a host
  // that keeps writing cannot hold the helper.
  pollfd entries[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(entries, 2, -1);
    if (ready > 0) return (entries[0].revents & POLLIN) != 0;
    if (ready < 0 && errno != EINTR) return false;  // the read below finds out more
  }
}

FdInputBuffer::int_type FdInputBuffer::underflow() {
  while (!ended_) {
    if (stopped()) {
      ended_ = true;
      break;
    }
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n > 0) {
      setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
      return traits_type::to_int_type(buffer_[0]);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && notReady(errno) && waitFor(fd_, POLLIN)) continue;
    ended_ = true;  // the end of input, or a read error, which counts as the end
  }
  return traits_type::eof();
}

FdOutputBuffer::int_type FdOutputBuffer::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    pending_.push_back(traits_type::to_char_type(c));
  }
  return traits_type::not_eof(c);
}

std::streamsize FdOutputBuffer::xsputn(const char* data, std::streamsize size) {
  pending_.append(data, static_cast<std::size_t>(size));
  return size;
}

int FdOutputBuffer::sync() {
  std::size_t done = 0;
  while (!gone_ && done < pending_.size()) {
    const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && notReady(errno) && waitFor(fd_, POLLOUT)) {
      continue;
    } else {
      gone_ = true;  // a broken pipe, a bad descriptor, a full disk: no answer can arrive
    }
  }
  pending_.clear();
  return gone_ ? -1 : 0;
}

bool isOpenDescriptor(int fd) {
  return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

}  // namespace caretsafe
