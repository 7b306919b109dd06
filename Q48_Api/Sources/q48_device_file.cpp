// Device-file transport: USB line-printer nodes and serial ports, driven with
// the POSIX file and terminal calls.
//
// A blocking read(2) on a line-printer node waits until the printer says
// something, and a blocking write(2) waits until it takes everything. Neither
// may hold a call past its time-out, so each call waits for readiness with
// poll(2), bounded by the time it has left, and moves only what is ready
// while the descriptor is switched to non-blocking for the call's duration.

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "Q48_Api.h"
#include "q48_internal.h"

namespace q48::file {

namespace {

// A serial port set up by set_serial answers a read after 0.1 s of silence;
// the drain uses the same silence on every device file.
constexpr unsigned long kDrainSilenceMs = 100;
constexpr unsigned long kDrainBudgetMs = 1000;
constexpr std::size_t kDrainChunk = 256;

struct speed_code {
  unsigned long baud_rate;
  tcflag_t code;
};
constexpr std::array<speed_code, 7> kSpeeds{{{2400, B2400},
                                             {4800, B4800},
                                             {9600, B9600},
                                             {19200, B19200},
                                             {38400, B38400},
                                             {57600, B57600},
                                             {115200, B115200}}};

tcflag_t speed_bits(unsigned long baud_rate) {
  const auto *hit = std::find_if(kSpeeds.begin(), kSpeeds.end(), [baud_rate](const speed_code &s) {
    return s.baud_rate == baud_rate;
  });
  return hit != kSpeeds.end() ? hit->code : B115200;
}

tcflag_t parity_bits(unsigned char parity) {
  switch (parity) {
  case 'O':
  case 'o':
    return PARENB | PARODD;
  case 'E':
  case 'e':
    return PARENB;
  default:
    return 0;
  }
}

// Keeps the caller's descriptor blocking outside our calls while no single
// system call inside them can block.
class nonblocking_scope {
public:
  explicit nonblocking_scope(int fd) : m_fd(fd), m_flags(fcntl(fd, F_GETFL)) {
    if (m_flags >= 0 && (m_flags & O_NONBLOCK) == 0) {
      m_changed = fcntl(fd, F_SETFL, m_flags | O_NONBLOCK) == 0;
    }
  }
  nonblocking_scope(const nonblocking_scope &) = delete;
  nonblocking_scope &operator=(const nonblocking_scope &) = delete;
  ~nonblocking_scope() {
    if (m_changed) {
      (void)fcntl(m_fd, F_SETFL, m_flags);
    }
  }

private:
  int m_fd;
  int m_flags;
  bool m_changed = false;
};

ssize_t read_some(int fd, unsigned char *data, std::size_t n) { return ::read(fd, data, n); }
ssize_t write_some(int fd, unsigned char *data, std::size_t n) { return ::write(fd, data, n); }

// The loop that write and read share. An attempt that moves nothing (an
// error, end of file, nothing ready) is followed by the sleep step, so a
// device that keeps reporting readiness without moving bytes cannot make the
// loop spin. The time-out test follows every attempt, so there is always at
// least one, and with timeout_ms 0 exactly one. Whether the wait for
// readiness ended by data, error, hang-up or time does not matter: the
// attempt that follows finds out.
int transfer(int fd, unsigned char *data, int size, unsigned long timeout_ms, short events,
             ssize_t (*move)(int, unsigned char *, std::size_t)) {
  int result = 0;
  const stopwatch watch;
  const nonblocking_scope nonblocking(fd);
  while (result < size) {
    (void)poll_one(fd, events, watch.left_ms(timeout_ms));
    const ssize_t moved = move(fd, data + result, static_cast<std::size_t>(size - result));
    if (moved > 0) {
      result += static_cast<int>(moved);
    } else {
      sleep_ms(std::min(sleep_step_ms(timeout_ms), watch.left_ms(timeout_ms)));
    }
    if (watch.elapsed_ms() >= timeout_ms) {
      break;
    }
  }
  return result;
}

// The descriptors this library opened and has not closed. Calls follow the
// transport of the last open, so after a USB open only this record lets
// close still end an earlier device-file connection; a descriptor the
// application opened itself is never touched there. Descriptors beyond the
// record are rare enough (the soft limit is 1024) to go unremembered.
constexpr int kRememberedDescriptors = 65536;
std::uint64_t s_opened[kRememberedDescriptors / 64];

void remember(int fd, bool opened) {
  if (fd >= 0 && fd < kRememberedDescriptors) {
    const std::uint64_t bit = std::uint64_t{1} << (fd % 64);
    s_opened[fd / 64] = opened ? (s_opened[fd / 64] | bit) : (s_opened[fd / 64] & ~bit);
  }
}

} // namespace

int descriptor_of(intptr_t printer) {
  const bool ours = printer >= 0 && printer <= INT_MAX && !usb::is_live(printer);
  return ours ? static_cast<int>(printer) : -1;
}

intptr_t open(const char *path) {
  const int fd = ::open(path, O_RDWR | O_EXCL | O_NOCTTY);
  if (fd < 0) {
    return Q48_API_OPEN_FAILED;
  }
  remember(fd, true);
  if (strcasestr(path, "ttyS") != nullptr) {
    (void)set_serial(fd, 115200, 'n', 1);
  }
  return fd;
}

int set_serial(int fd, unsigned long baud_rate, unsigned char parity, unsigned char stop_bits) {
  struct termios sNewTermIo;
  std::memset(&sNewTermIo, 0, sizeof sNewTermIo);
  sNewTermIo.c_iflag = IGNPAR;
  sNewTermIo.c_oflag = 0;
  sNewTermIo.c_cflag = speed_bits(baud_rate) | CRTSCTS | CLOCAL | CREAD | CS8 |
                       parity_bits(parity) | (stop_bits == 2 ? CSTOPB : 0);
  sNewTermIo.c_lflag = 0;
  sNewTermIo.c_cc[VTIME] = 1;
  sNewTermIo.c_cc[VMIN] = 0;
  (void)tcflush(fd, TCIFLUSH);
  // A device that refuses the settings (not a terminal, or closed) must not
  // leave the caller believing the line is set.
  return tcsetattr(fd, TCSANOW, &sNewTermIo) == 0 ? 1 : 0;
}

bool opened_here(intptr_t printer) {
  return printer >= 0 && printer < kRememberedDescriptors && !usb::is_live(printer) &&
         (s_opened[printer / 64] >> (printer % 64) & 1U) != 0;
}

void close(int fd) {
  remember(fd, false);
  (void)::close(fd);
}

int clear(int fd) {
  const nonblocking_scope nonblocking(fd);
  std::array<unsigned char, kDrainChunk> drained{};
  const stopwatch whole;
  stopwatch silence;
  for (;;) {
    // A printer that reports its status every few milliseconds is never
    // silent for long: the clear as a whole still ends after its budget.
    const unsigned long wait_ms =
        std::min(silence.left_ms(kDrainSilenceMs), whole.left_ms(kDrainBudgetMs));
    if (wait_ms == 0 || poll_one(fd, POLLIN, wait_ms) <= 0) {
      break;
    }
    const ssize_t n = ::read(fd, drained.data(), drained.size());
    if (n == 0 || (n < 0 && errno != EINTR)) {
      break;
    }
    if (n > 0) {
      silence = stopwatch();
    }
  }
  return 1;
}

int write(int fd, unsigned char *data, int size, unsigned long timeout_ms) {
  return transfer(fd, data, size, timeout_ms, POLLOUT, write_some);
}

int read(int fd, unsigned char *data, int size, unsigned long timeout_ms) {
  return transfer(fd, data, size, timeout_ms, POLLIN, read_some);
}

} // namespace q48::file
