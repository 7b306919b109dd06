// What the parts of libQ48Api share: the transports behind the exported entry
// points, the receive ring, and the few helpers they all use. Nothing here is
// exported.
#ifndef Q48_INTERNAL_H
#define Q48_INTERNAL_H

#include <cstdint>
#include <ctime>
#include <utility>

namespace q48 {

// Runs its callable when the scope ends: the one clean-up path of a function
// that acquires several resources.
template <typename F> class scope_exit {
public:
  explicit scope_exit(F f) : m_f(std::move(f)) {}
  scope_exit(const scope_exit &) = delete;
  scope_exit &operator=(const scope_exit &) = delete;
  ~scope_exit() {
    if (m_armed) {
      m_f();
    }
  }
  void release() { m_armed = false; }

private:
  F m_f;
  bool m_armed = true;
};

// ---- Timing (q48_timing.cpp)

// Measures a call's time on the monotonic clock: a board that steps its
// real-time clock when NTP first answers (often by years) must neither end
// a running wait early nor stretch it.
class stopwatch {
public:
  stopwatch();
  // Milliseconds since construction, wrapping at 32 bits like every age of
  // the toolbox; 0xFFFFFFFF when the clock cannot be read, so a wait ends.
  unsigned long elapsed_ms() const;
  // What is left of budget_ms, 0 once it is spent.
  unsigned long left_ms(unsigned long budget_ms) const;

private:
  struct timespec m_start {};
  bool m_ok = false;
};

// The pause between two passes of a transfer loop that moved nothing: short
// enough to keep latency low, long enough not to burn a core while waiting.
constexpr unsigned long kSleepStepMs = 10;
constexpr unsigned long sleep_step_ms(unsigned long timeout_ms) {
  return timeout_ms < kSleepStepMs ? timeout_ms : kSleepStepMs;
}
// Sleeps the whole of ms: a signal handler that interrupts it does not cut
// the pause short, so loops keep their rhythm under a timer signal.
void sleep_ms(unsigned long ms);
// poll(2) on one descriptor for up to wait_ms, resumed after a signal for
// the time left. Returns poll's result; 0 once the time is spent.
int poll_one(int fd, short events, unsigned long wait_ms);

bool debug_enabled();

enum transport : int { kNoTransport = 0, kDeviceFile = 1, kUsb = 2 };

// Device-file transport (line-printer nodes and serial ports).
namespace file {
// The descriptor that a device-file handle stands for, or -1 when the handle
// cannot be one of ours: above INT_MAX (a cut would hit some other
// descriptor) or the address of the live USB connection.
int descriptor_of(intptr_t printer);
intptr_t open(const char *path);
// True for a descriptor that open returned and close has not closed yet.
bool opened_here(intptr_t printer);
int set_serial(int fd, unsigned long baud_rate, unsigned char parity, unsigned char stop_bits);
void close(int fd);
int clear(int fd);
int write(int fd, unsigned char *data, int size, unsigned long timeout_ms);
int read(int fd, unsigned char *data, int size, unsigned long timeout_ms);
} // namespace file

// USB transport through libusb-1.0.
namespace usb {
// True while printer is the open USB connection.
bool is_live(intptr_t printer);
// Ends the open USB connection, if any, as close would.
void end_live_connection();
intptr_t open(char *port);
void close(intptr_t printer);
int clear(intptr_t printer);
int write(intptr_t printer, unsigned char *data, int size, unsigned long timeout_ms);
int read(intptr_t printer, unsigned char *data, int size, unsigned long timeout_ms);
} // namespace usb

} // namespace q48

// The receive ring of the USB transport, working on the exported globals.
constexpr int kRxRingSize = 1024;
int buffer_get_rx_count();
int buffer_get_rx_free();
int buffer_get_rx_data(unsigned char *pub_data, int n_data);
int buffer_set_rx_data(unsigned char *pub_data, int n_data);

#endif // Q48_INTERNAL_H
