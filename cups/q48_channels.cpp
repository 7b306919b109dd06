#include "q48_channels.h"
#include "q48_clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace q48 {
namespace {

// A message: command, status, the data's length in two bytes (high first),
// then the data.
constexpr std::size_t kHeader = 4;
constexpr std::size_t kMaxData = 65535;

bool wait_for(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int ready = 0;
  while ((ready = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return ready > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

// Writes n bytes to fd by deadline, never blocking past it: a socket is
// written without waiting, anything else only as far as poll says it takes.
bool write_within(int fd, const unsigned char *data, std::size_t n, int timeout_ms) {
  const long deadline = q48::now_ms() + timeout_ms;
  while (n > 0) {
    const long left = deadline - q48::now_ms();
    if (left < 0 || !wait_for(fd, POLLOUT, static_cast<int>(left))) {
      break;
    }
    ssize_t w = ::send(fd, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) {
      w = ::write(fd, data, n);
    }
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (w <= 0) {
      break;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return n == 0;
}

} // namespace

void claim_channel_descriptors() {
  for (const int fd : {kBackChannelFd, CUPS_SC_FD}) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // Opened in order, the lowest free number is fd itself; otherwise it
      // is moved there.
      const int null = ::open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) {
        (void)dup2(null, fd);
        (void)::close(null);
      }
    }
  }
}

const char *device_uri(char **argv) {
  const char *uri = std::getenv("DEVICE_URI");
  if (uri == nullptr && argv != nullptr && argv[0] != nullptr &&
      std::strchr(argv[0], ':') != nullptr) {
    uri = argv[0];
  }
  return uri;
}

bool back_channel_write(const unsigned char *data, std::size_t n, int timeout_ms) {
  return write_within(kBackChannelFd, data, n, timeout_ms);
}

side_read side_channel_read(side_request &request) {
  // A filter writes each request whole, with one write, and waits for its
  // answer before the next: one read takes it.
  static unsigned char message[kHeader + kMaxData];
  if (!wait_for(CUPS_SC_FD, POLLIN, 0)) {
    return side_read::none;
  }
  ssize_t got = 0;
  while ((got = ::read(CUPS_SC_FD, message, sizeof message)) < 0 && errno == EINTR) {
  }
  if (got < 0 && errno == EAGAIN) {
    return side_read::none;
  }
  if (got < static_cast<ssize_t>(kHeader)) {
    // End of file, an error, or a message too short to be one: nothing
    // that follows can be read in step any more.
    return side_read::closed;
  }
  const std::size_t length = static_cast<std::size_t>(message[2]) << 8 | message[3];
  const std::size_t arrived = static_cast<std::size_t>(got) - kHeader;
  request.command = static_cast<cups_sc_command_t>(message[0]);
  request.status = static_cast<cups_sc_status_t>(message[1]);
  request.truncated = length > arrived;
  request.size = std::min(length, arrived);
  std::memcpy(request.data, message + kHeader, request.size);
  return side_read::request;
}

bool side_channel_write(cups_sc_command_t command, cups_sc_status_t status,
                        const unsigned char *data, std::size_t n, int timeout_ms) {
  static unsigned char message[kHeader + kMaxData];
  n = std::min(n, kMaxData);
  message[0] = static_cast<unsigned char>(command);
  message[1] = static_cast<unsigned char>(status);
  message[2] = static_cast<unsigned char>(n >> 8);
  message[3] = static_cast<unsigned char>(n & 0xFF);
  if (n > 0) {
    std::memcpy(message + kHeader, data, n);
  }
  return write_within(CUPS_SC_FD, message, kHeader + n, timeout_ms);
}

} // namespace q48
