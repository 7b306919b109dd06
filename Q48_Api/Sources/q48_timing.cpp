// The clock, the pauses and the waits of libQ48Api's loops: every time-out is
// measured here, on the monotonic clock, and neither a signal nor a stepped
// system clock changes how long a call takes.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <poll.h>

#include "Q48_Tb.h"
#include "q48_internal.h"

namespace q48 {

stopwatch::stopwatch() : m_ok(clock_gettime(CLOCK_MONOTONIC, &m_start) == 0) {}

unsigned long stopwatch::elapsed_ms() const {
  struct timespec now {};
  unsigned long ms = 0xFFFFFFFFUL;
  if (m_ok && clock_gettime(CLOCK_MONOTONIC, &now) == 0) {
    struct timespec start = m_start;
    struct timespec elapsed {};
    Q48_tb_get_delta_ts(&now, &start, &elapsed);
    Q48_tb_convert_ts_to_ms(&elapsed, &ms);
  }
  return ms;
}

unsigned long stopwatch::left_ms(unsigned long budget_ms) const {
  const unsigned long elapsed = elapsed_ms();
  return elapsed >= budget_ms ? 0 : budget_ms - elapsed;
}

void sleep_ms(unsigned long ms) {
  struct timespec until {};
  if (clock_gettime(CLOCK_MONOTONIC, &until) != 0) {
    return;
  }
  constexpr long kNsPerSec = 1000000000L;
  until.tv_sec += static_cast<time_t>(ms / 1000);
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= kNsPerSec) {
    until.tv_nsec -= kNsPerSec;
    until.tv_sec += 1;
  }
  // An absolute deadline resumes for exactly the time left after a signal.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

int poll_one(int fd, short events, unsigned long wait_ms) {
  const stopwatch watch;
  unsigned long left = wait_ms;
  int ready = 0;
  for (;;) {
    struct pollfd p {};
    p.fd = fd;
    p.events = events;
    ready = poll(&p, 1, static_cast<int>(std::min<unsigned long>(left, INT_MAX)));
    if (ready >= 0 || errno != EINTR) {
      break;
    }
    left = watch.left_ms(wait_ms);
    if (left == 0) {
      ready = 0;
      break;
    }
  }
  return ready;
}

} // namespace q48
