// The access library's waits while the real-time clock is stepped by hours,
// as it is on a board without a battery-backed clock when NTP first answers.
// clock_gettime is interposed for the whole process: CLOCK_REALTIME reads the
// true clock plus an offset that the test moves, every other clock passes
// through. Nothing touches the machine's clock.

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "Q48_Api.h"
#include "Q48_Tb.h"
#include "q48_test_util.h"

namespace {

std::atomic<long> g_realtime_offset_s{0};
constexpr long kHours3 = 3L * 3600;

} // namespace

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t id,
                                                                    struct timespec *ts) {
  using clock_fn = int (*)(clockid_t, struct timespec *);
  static const auto next = reinterpret_cast<clock_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  const int result = next(id, ts);
  if (result == 0 && id == CLOCK_REALTIME) {
    ts->tv_sec += static_cast<time_t>(g_realtime_offset_s.load());
  }
  return result;
}

namespace {

class ClockJump : public ::testing::Test {
protected:
  void SetUp() override {
    g_realtime_offset_s = 0;
    lp0 = dir.make_parents("dev/usb/lp0");
    ASSERT_EQ(mkfifo(lp0.c_str(), 0600), 0);
    reader = ::open(lp0.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    printer = Q48_api_printer_open(lp0.data());
    ASSERT_GE(printer, 0);
  }
  void TearDown() override {
    stepper.join();
    Q48_api_printer_close(printer);
    ::close(reader);
    g_realtime_offset_s = 0;
  }
  // Forward by three hours after 100 ms, then back by six after 250 ms.
  void step_the_clock() {
    stepper = std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      g_realtime_offset_s += kHours3;
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      g_realtime_offset_s -= 2 * kHours3;
    });
  }

  q48test::temp_dir dir;
  std::string lp0;
  int reader = -1;
  intptr_t printer = -1;
  std::thread stepper;
};

TEST_F(ClockJump, ReadOfAPrinterThatAnswersSlowlyWaitsItsWholeTimeOut) {
  struct timespec app_stamp {};
  Q48_tb_set_time_stamp(&app_stamp);
  const int writer = ::open(lp0.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  // One byte every 50 ms, so that the read wakes up on both sides of a step.
  std::thread slow_answer([writer] {
    for (unsigned char b = 0; b < 16; ++b) {
      (void)!::write(writer, &b, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  step_the_clock();
  unsigned char buf[64] = {};
  const double start = q48test::now_ms();
  const int got = Q48_api_printer_read(printer, buf, sizeof buf, 600);
  const double took = q48test::now_ms() - start;
  slow_answer.join();
  ::close(writer);
  EXPECT_GE(took, 590);
  EXPECT_LT(took, 800);
  EXPECT_GE(got, 10);
  for (int i = 0; i < got; ++i) {
    EXPECT_EQ(buf[i], i) << "in order, none twice";
  }
  // Applications' own stamps stay on the real-time clock and see the step.
  EXPECT_GE(Q48_tb_calc_age_in_ms(&app_stamp), 3UL * 3600 * 1000 - 1000);
}

TEST_F(ClockJump, WriteToASlowPrinterSendsEverythingAcrossTheSteps) {
  std::vector<unsigned char> job(4 * 65536);
  for (std::size_t i = 0; i < job.size(); ++i) {
    job[i] = static_cast<unsigned char>(i * 31 + i / 256);
  }
  std::vector<unsigned char> got;
  std::atomic<bool> written{false};
  std::thread slow_printer([this, &got, &written] {
    std::vector<unsigned char> chunk(8192);
    for (;;) {
      const bool last = written;
      const ssize_t n = ::read(reader, chunk.data(), chunk.size());
      if (n > 0) {
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
      } else if (last) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  step_the_clock();
  EXPECT_EQ(Q48_api_printer_write(printer, job.data(), static_cast<int>(job.size()), 5000),
            static_cast<int>(job.size()));
  written = true;
  slow_printer.join();
  EXPECT_EQ(got, job);
}

} // namespace
