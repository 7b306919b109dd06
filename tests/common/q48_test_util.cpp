#include "q48_test_util.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>

extern char **environ;

namespace q48test {

temp_dir::temp_dir() {
  const char *base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr ? base : "/tmp") + "/q48-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  m_path = buf.data();
}

temp_dir::~temp_dir() {
  (void)nftw(
      m_path.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string temp_dir::make_parents(const std::string &relative) const {
  std::string full = m_path;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = relative.find('/', start);
    if (slash == std::string::npos) {
      break;
    }
    full = m_path + "/" + relative.substr(0, slash);
    (void)mkdir(full.c_str(), 0700);
    start = slash + 1;
  }
  return m_path + "/" + relative;
}

stdout_capture::stdout_capture() {
  std::fflush(stdout);
  char name[] = "/tmp/q48-stdout-XXXXXX";
  m_file = mkstemp(name);
  (void)unlink(name);
  m_saved = dup(STDOUT_FILENO);
  (void)dup2(m_file, STDOUT_FILENO);
}

std::string stdout_capture::take() {
  std::fflush(stdout);
  std::string text;
  if (m_file >= 0) {
    (void)lseek(m_file, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(m_file, buf, sizeof buf)) > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    }
    (void)ftruncate(m_file, 0);
    (void)lseek(m_file, 0, SEEK_SET);
  }
  return text;
}

stdout_capture::~stdout_capture() {
  std::fflush(stdout);
  if (m_saved >= 0) {
    (void)dup2(m_saved, STDOUT_FILENO);
    (void)::close(m_saved);
  }
  if (m_file >= 0) {
    (void)::close(m_file);
  }
}

int open_fd_count() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  while (readdir(dir) != nullptr) {
    ++count;
  }
  closedir(dir);
  return count - 3; // ".", ".." and the descriptor of the listing itself
}

run_result run_program(const std::vector<std::string> &argv_in,
                       const std::vector<std::string> &env) {
  std::vector<std::string> argv;
#ifdef Q48_TEST_EMULATOR
  // The tests run under qemu-user without binfmt: a child program has to be
  // started through the emulator explicitly.
  argv.push_back(Q48_TEST_EMULATOR);
  for (const auto &e : env) {
    argv.push_back("-E");
    argv.push_back(e);
  }
#endif
  argv.insert(argv.end(), argv_in.begin(), argv_in.end());

  std::vector<std::string> envs;
  for (char **e = environ; *e != nullptr; ++e) {
    envs.emplace_back(*e);
  }
  envs.insert(envs.end(), env.begin(), env.end());

  std::vector<char *> cargv;
  for (auto &a : argv) {
    cargv.push_back(a.data());
  }
  cargv.push_back(nullptr);
  std::vector<char *> cenv;
  for (auto &e : envs) {
    cenv.push_back(e.data());
  }
  cenv.push_back(nullptr);

  run_result result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    return result;
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    (void)dup2(out[1], STDOUT_FILENO);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  (void)::close(out[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(out[0], buf, sizeof buf)) > 0) {
    result.out.append(buf, static_cast<std::size_t>(n));
  }
  (void)::close(out[0]);
  int status = 0;
  (void)waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string coded_hex(const std::string &bytes) {
  std::string text;
  char hex[4];
  for (std::size_t i = 0; i < bytes.size(); i++) {
    text += i % 32 == 0 ? (i > 0 ? "]\n[" : "[") : " ";
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bytes[i]));
    text += hex;
  }
  return text + "]\n";
}

double now_ms() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

namespace {
volatile std::sig_atomic_t g_signals = 0;
extern "C" void count_signal(int) { g_signals = g_signals + 1; }
} // namespace

signal_storm::signal_storm(long period_us) {
  struct sigaction action {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; // no SA_RESTART: interrupted calls fail with EINTR
  (void)sigaction(SIGALRM, &action, nullptr);
  struct sigevent event {};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = SIGALRM;
  event._sigev_un._tid = gettid();
  timer_t timer{};
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
    m_timer = timer;
    struct itimerspec every {};
    every.it_interval.tv_nsec = period_us * 1000;
    every.it_value.tv_nsec = period_us * 1000;
    m_armed = timer_settime(timer, 0, &every, nullptr) == 0;
  }
  if (!m_armed) {
    std::perror("signal_storm");
    std::abort();
  }
}

signal_storm::~signal_storm() {
  (void)timer_delete(static_cast<timer_t>(m_timer));
  std::signal(SIGALRM, SIG_IGN);
}

long signal_storm::delivered() { return g_signals; }

} // namespace q48test
