#include "q48_channels.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace q48 {
namespace {

constexpr int kBackChannelFd = 3;
// A message: command, status, the data's length in two bytes (high first),
// then the data.
constexpr std::size_t kHeader = 4;
constexpr std::size_t kMaxData = 65535;

bool wait_for(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int ready = 0;
  while ((ready = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return ready > 0 && (p.revents & events) != 0;
}

} // namespace

const char *device_uri(char **argv) {
  const char *uri = std::getenv("DEVICE_URI");
  if (uri == nullptr && argv != nullptr && argv[0] != nullptr &&
      std::strchr(argv[0], ':') != nullptr) {
    uri = argv[0];
  }
  return uri;
}

bool back_channel_write(const unsigned char *data, std::size_t n, int timeout_ms) {
  while (n > 0 && wait_for(kBackChannelFd, POLLOUT, timeout_ms)) {
    const ssize_t w = ::write(kBackChannelFd, data, n);
    if (w < 0 && errno == EINTR) {
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

bool side_channel_read(side_request &request) {
  // cupsd writes each request whole, with one write: one read takes it.
  static unsigned char message[kHeader + kMaxData];
  if (!wait_for(CUPS_SC_FD, POLLIN, 0)) {
    return false;
  }
  ssize_t got = 0;
  while ((got = ::read(CUPS_SC_FD, message, sizeof message)) < 0 && errno == EINTR) {
  }
  if (got < static_cast<ssize_t>(kHeader)) {
    return false;
  }
  const std::size_t length = static_cast<std::size_t>(message[2]) << 8 | message[3];
  request.command = static_cast<cups_sc_command_t>(message[0]);
  request.status = static_cast<cups_sc_status_t>(message[1]);
  request.size = std::min(length, static_cast<std::size_t>(got) - kHeader);
  std::memcpy(request.data, message + kHeader, request.size);
  return true;
}

bool side_channel_write(cups_sc_command_t command, cups_sc_status_t status,
                        const unsigned char *data, std::size_t n) {
  static unsigned char message[kHeader + kMaxData];
  n = std::min(n, kMaxData);
  message[0] = static_cast<unsigned char>(command);
  message[1] = static_cast<unsigned char>(status);
  message[2] = static_cast<unsigned char>(n >> 8);
  message[3] = static_cast<unsigned char>(n & 0xFF);
  std::memcpy(message + kHeader, data, n);
  ssize_t w = 0;
  while ((w = ::write(CUPS_SC_FD, message, kHeader + n)) < 0 && errno == EINTR) {
  }
  return w == static_cast<ssize_t>(kHeader + n);
}

} // namespace q48
