// Time stamps and elapsed milliseconds. Stateless: every function works on
// the records its caller passes.

#include "Q48_Tb.h"

#include <cstdint>
#include <ctime>
#include <type_traits>

namespace {

constexpr std::uint32_t kMsPerSecond = 1000;
constexpr long kNsPerMs = 1000000;
constexpr long kNsPerSecond = 1000000000;

// The age that no time-out can outlast: callers compare ages with their
// time-out, so a stamp that cannot be measured ends their wait at once.
constexpr unsigned long kAgeUnknown = 0xFFFFFFFFUL;

// Differences of arbitrary caller records must not overflow a signed type;
// the modular result is what a wrapped 32-bit target would compute too.
template <typename T> T wrapping_sub(T a, T b) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
}

} // namespace

extern "C" {

void Q48_tb_set_time_stamp(struct timespec *ts_start) {
  if (ts_start != nullptr) {
    (void)clock_gettime(CLOCK_REALTIME, ts_start);
  }
}

void Q48_tb_get_delta_ts(struct timespec *ts1, struct timespec *ts2, struct timespec *delta) {
  if (ts1 == nullptr || ts2 == nullptr || delta == nullptr) {
    return;
  }
  const struct timespec *earlier = ts1;
  const struct timespec *later = ts2;
  if (ts2->tv_sec < ts1->tv_sec || (ts2->tv_sec == ts1->tv_sec && ts2->tv_nsec < ts1->tv_nsec)) {
    earlier = ts2;
    later = ts1;
  }
  delta->tv_sec = wrapping_sub(later->tv_sec, earlier->tv_sec);
  delta->tv_nsec = wrapping_sub(later->tv_nsec, earlier->tv_nsec);
  if (delta->tv_nsec < 0) {
    delta->tv_sec = wrapping_sub(delta->tv_sec, static_cast<time_t>(1));
    delta->tv_nsec = wrapping_sub(delta->tv_nsec, -kNsPerSecond);
  }
}

void Q48_tb_convert_ts_to_ms(struct timespec *ts, unsigned long *ms) {
  if (ts == nullptr || ms == nullptr) {
    return;
  }
  // 32-bit arithmetic on purpose: the ARM target's unsigned long is 32 bits
  // and x86-64 must wrap at the same point.
  const auto seconds = static_cast<std::uint32_t>(ts->tv_sec);
  const auto millis = static_cast<std::uint32_t>(ts->tv_nsec / kNsPerMs);
  *ms = static_cast<std::uint32_t>(seconds * kMsPerSecond + millis);
}

unsigned long Q48_tb_calc_age_in_ms(struct timespec *ts_start) {
  unsigned long ulMsEllapsed = kAgeUnknown;
  struct timespec tsActual {};
  struct timespec tsEllapsed {};
  if (ts_start != nullptr && clock_gettime(CLOCK_REALTIME, &tsActual) >= 0) {
    Q48_tb_get_delta_ts(&tsActual, ts_start, &tsEllapsed);
    Q48_tb_convert_ts_to_ms(&tsEllapsed, &ulMsEllapsed);
  }
  return ulMsEllapsed;
}

} // extern "C"
