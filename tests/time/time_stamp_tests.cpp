// Time stamps, differences and ages: every time-out of the access library is
// measured with them, so a wrong borrow or a wrong wrap shows up there as a
// call that returns too early or never.

#include <gtest/gtest.h>

#include <ctime>

#include "Q48_Tb.h"

namespace {

struct timespec ts(long sec, long nsec) {
  struct timespec t {};
  t.tv_sec = sec;
  t.tv_nsec = nsec;
  return t;
}

struct conversion {
  long sec;
  long nsec;
  unsigned long ms;
};

TEST(MillisecondConversion, TruncatesAndWrapsAt32BitsOnEveryHost) {
  const conversion cases[] = {
      {2, 999999999, 2999}, // sub-millisecond part dropped
      {5, 500000, 5000},    // half a millisecond dropped
      {4294968, 0, 704},    // 4 294 968 000 modulo 2^32
      {0, 0, 0},
      {4294967, 295000000, 4294967295UL}, // the largest count
      {4294967, 296000000, 0},            // one more wraps to 0
  };
  for (const auto &c : cases) {
    struct timespec t = ts(c.sec, c.nsec);
    unsigned long ms = 12345;
    Q48_tb_convert_ts_to_ms(&t, &ms);
    EXPECT_EQ(ms, c.ms) << c.sec << " s " << c.nsec << " ns";
  }
}

TEST(MillisecondConversion, NullArgumentsWriteNothing) {
  unsigned long ms = 42;
  Q48_tb_convert_ts_to_ms(nullptr, &ms);
  EXPECT_EQ(ms, 42UL);
  struct timespec t = ts(1, 0);
  Q48_tb_convert_ts_to_ms(&t, nullptr);
  EXPECT_EQ(t.tv_sec, 1);
}

struct difference {
  struct timespec a, b;
  long sec, nsec;
};

TEST(StampDifference, IsTheAbsoluteDistanceInEitherOrder) {
  const difference cases[] = {
      {ts(10, 200000000), ts(12, 100000000), 1, 900000000}, // with borrow
      {ts(7, 900), ts(7, 100), 0, 800},                     // nanoseconds only
      {ts(3, 5), ts(3, 5), 0, 0},                           // a stamp with itself
      {ts(0, 0), ts(100, 999999999), 100, 999999999},
  };
  for (const auto &c : cases) {
    for (int order = 0; order < 2; ++order) {
      struct timespec a = order == 0 ? c.a : c.b;
      struct timespec b = order == 0 ? c.b : c.a;
      const struct timespec a_before = a, b_before = b;
      struct timespec d = ts(-1, -1);
      Q48_tb_get_delta_ts(&a, &b, &d);
      EXPECT_EQ(d.tv_sec, c.sec);
      EXPECT_EQ(d.tv_nsec, c.nsec);
      // The inputs are only read.
      EXPECT_EQ(a.tv_sec, a_before.tv_sec);
      EXPECT_EQ(a.tv_nsec, a_before.tv_nsec);
      EXPECT_EQ(b.tv_sec, b_before.tv_sec);
      EXPECT_EQ(b.tv_nsec, b_before.tv_nsec);
    }
  }
}

TEST(StampDifference, NullArgumentsWriteNothing) {
  struct timespec a = ts(1, 2), b = ts(3, 4), d = ts(5, 6);
  Q48_tb_get_delta_ts(nullptr, &b, &d);
  Q48_tb_get_delta_ts(&a, nullptr, &d);
  EXPECT_EQ(d.tv_sec, 5);
  EXPECT_EQ(d.tv_nsec, 6);
  Q48_tb_get_delta_ts(&a, &b, nullptr);
  EXPECT_EQ(a.tv_sec, 1);
  EXPECT_EQ(b.tv_sec, 3);
}

TEST(StampDifference, ExtremeRecordsDoNotOverflow) {
  // Garbage from a caller must not be undefined behaviour (UBSan checks).
  struct timespec lo {
  }, hi{}, d{};
  lo.tv_sec = static_cast<time_t>(1) << (sizeof(time_t) * 8 - 1); // most negative
  lo.tv_nsec = 0;
  hi.tv_sec = ~lo.tv_sec; // most positive
  hi.tv_nsec = -999999999L;
  Q48_tb_get_delta_ts(&lo, &hi, &d);
  // The nanoseconds still borrow once: -999999999 - 0 + 10^9.
  EXPECT_EQ(d.tv_nsec, 1);
}

TEST(StampAge, FreshStampIsZeroAndFutureStampIsItsDistance) {
  struct timespec start {};
  Q48_tb_set_time_stamp(&start);
  EXPECT_LE(Q48_tb_calc_age_in_ms(&start), 5UL);

  // The clock was set back by 1.5 s after the stamp was taken.
  struct timespec future {};
  Q48_tb_set_time_stamp(&future);
  future.tv_nsec += 500000000;
  future.tv_sec += 1;
  if (future.tv_nsec >= 1000000000) {
    future.tv_nsec -= 1000000000;
    future.tv_sec += 1;
  }
  const unsigned long age = Q48_tb_calc_age_in_ms(&future);
  EXPECT_LE(age, 1500UL);
  EXPECT_GE(age, 1400UL);
}

TEST(StampAge, GrowsWithTheClock) {
  struct timespec start {};
  Q48_tb_set_time_stamp(&start);
  struct timespec pause = ts(0, 50000000);
  nanosleep(&pause, nullptr);
  const unsigned long age = Q48_tb_calc_age_in_ms(&start);
  EXPECT_GE(age, 50UL);
  EXPECT_LT(age, 2000UL);
}

TEST(StampAge, UnmeasurableStampEndsEveryWait) {
  EXPECT_EQ(Q48_tb_calc_age_in_ms(nullptr), 0xFFFFFFFFUL);
  Q48_tb_set_time_stamp(nullptr); // must not crash
}

} // namespace
