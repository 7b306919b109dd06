// Helpers shared by the test suites: temporary device trees, captured
// standard output, and child processes.
#ifndef Q48_TEST_UTIL_H
#define Q48_TEST_UTIL_H

#include <string>
#include <vector>

namespace q48test {

// A temporary folder that is removed with everything in it.
class temp_dir {
public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  const std::string &path() const { return m_path; }
  // Creates the parent folders of path (relative to the folder) and returns
  // the absolute path.
  std::string make_parents(const std::string &relative) const;

private:
  std::string m_path;
};

// Everything the process writes to its standard output between construction
// and take(), C stdio included.
class stdout_capture {
public:
  stdout_capture();
  ~stdout_capture();
  stdout_capture(const stdout_capture &) = delete;
  stdout_capture &operator=(const stdout_capture &) = delete;
  std::string take();

private:
  int m_saved = -1;
  int m_file = -1;
};

// The number of open descriptors of this process.
int open_fd_count();

struct run_result {
  int exit_status = -1; // -1 when the program did not exit normally
  std::string out;
};
// Runs argv as a child process (through the cross-compiling emulator when
// the tests run under one) with extra environment entries, and collects its
// standard output.
run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {});

// Milliseconds on a monotonic clock, for measuring how long a call took.
double now_ms();

// bytes as coded command text, every byte in hex, 32 to a line.
std::string coded_hex(const std::string &bytes);

// SIGALRM to the constructing thread every period_us microseconds while the
// object lives, with a handler installed without SA_RESTART, as an
// application's interval timer would have it. Only that thread is hit, so
// the emulated printer's own threads run undisturbed.
class signal_storm {
public:
  explicit signal_storm(long period_us = 1000);
  ~signal_storm();
  signal_storm(const signal_storm &) = delete;
  signal_storm &operator=(const signal_storm &) = delete;
  static long delivered(); // signals handled so far in this process

private:
  void *m_timer = nullptr;
  bool m_armed = false;
};

} // namespace q48test

#endif
