// Milliseconds on the monotonic clock, for the programs' waits: a step of
// the real-time clock must neither end a wait early nor stretch it.
#ifndef Q48_CLOCK_H
#define Q48_CLOCK_H

#include <ctime>

namespace q48 {

inline long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace q48

#endif // Q48_CLOCK_H
