// How long a small job takes from lp to completed, and how much CPU its
// backend uses, for three backends side by side on one private cupsd and the
// emulated printer:
//   - discard: reads the job and throws it away (the floor: all that is
//     cupsd's, the spool's and a backend's start);
//   - usb: CUPS's own USB backend;
//   - q48: ours.
// Jobs of 1 byte and 4 KiB, raw. Each round sends one job of each size to
// each backend, the backends' order turning from round to round; medians
// are reported. Not a test: run it through scripts/run-benchmarks.sh.
//
//   q48_cups_latency [ROUNDS]     (default 7)

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <cups/cups.h>

#include "q48_emulated_printer.h"

namespace {

const char kSerial[] = "Q48BENCH01";
std::string g_root;

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void spit(const std::string &path, const std::string &text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

int run(const std::string &command) { return std::system(command.c_str()); }

double now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

int free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

ipp_jstate_t job_state(int id) {
  ipp_t *req = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  const std::string uri = "ipp://localhost/jobs/" + std::to_string(id);
  ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
  ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ipp_t *resp = cupsDoRequest(CUPS_HTTP_DEFAULT, req, "/");
  ipp_attribute_t *a = ippFindAttribute(resp, "job-state", IPP_TAG_ENUM);
  const auto state =
      a != nullptr ? static_cast<ipp_jstate_t>(ippGetInteger(a, 0)) : IPP_JSTATE_PENDING;
  ippDelete(resp);
  return state;
}

// The CPU time of the backend's last run, which its wrapper appends to a
// file with bash's `times`: the last line is its children's, the backend's
// ("0m0.004s 0m0.008s": user and system).
double last_cpu_ms(const std::string &backend) {
  std::istringstream lines(slurp(g_root + "/cpu-" + backend));
  std::string line;
  std::string last;
  while (std::getline(lines, line)) {
    last = line;
  }
  double total = 0;
  for (std::size_t at = 0; (at = last.find('m', at)) != std::string::npos; at++) {
    total += std::atof(last.c_str() + at + 1) * 1e3 +
             std::atof(last.c_str() + last.rfind(' ', at) + 1) * 60e3;
  }
  return total;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void set_up() {
  const std::string r = g_root;
  for (const char *d : {"/bin", "/bin/backend", "/bin/filter", "/lib", "/etc", "/spool",
                        "/spool/tmp", "/state", "/cache", "/log"}) {
    mkdir((r + d).c_str(), 0755);
  }
  symlink("/usr/lib/cups/daemon", (r + "/bin/daemon").c_str());
  for (const auto &[name, from] : {std::pair<std::string, std::string>{"q48", Q48_BACKEND_PATH},
                                   {"discard", Q48_DISCARD_PATH},
                                   {"usb", "/usr/lib/cups/backend/usb"}}) {
    spit(r + "/bin/" + name, slurp(from), 0755);
    spit(r + "/bin/backend/" + name,
         "#!/bin/bash\nexport LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=$(cat " + r +
             "/umockdev_dir) LD_LIBRARY_PATH=" + r + "/lib\n\"" + r + "/bin/" + name +
             "\" \"$@\"\nstatus=$?\ntimes >> " + r + "/cpu-" + name + "\nexit $status\n",
         0755);
  }
  spit(r + "/lib/libQ48Api.so.1", slurp(Q48_API_LIB), 0755);
  spit(r + "/lib/libQ48Tb.so.1", slurp(Q48_TB_LIB), 0755);
  spit(r + "/etc/cups-files.conf",
       "ServerRoot " + r + "/etc\nServerBin " + r + "/bin\nRequestRoot " + r + "/spool\nTempDir " +
           r + "/spool/tmp\nStateDir " + r + "/state\nCacheDir " + r + "/cache\nAccessLog " + r +
           "/log/access_log\nErrorLog " + r + "/log/error_log\nPageLog " + r +
           "/log/page_log\nSystemGroup " + getgrgid(getgid())->gr_name + "\nSandboxing Off\n");
  const int port = free_port();
  spit(r + "/etc/cupsd.conf", "Listen 127.0.0.1:" + std::to_string(port) +
                                  "\nLogLevel warn\nBrowsing Off\nWebInterface No\n"
                                  "DefaultAuthType None\n<Location />\nOrder allow,deny\n"
                                  "Allow all\n</Location>\n<Policy default>\n<Limit All>\n"
                                  "Order deny,allow\nAllow all\n</Limit>\n</Policy>\n");
  setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
}

pid_t start_cupsd() {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
      _exit(1);
    }
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", (g_root + "/etc/cupsd.conf").c_str(), "-s",
          (g_root + "/etc/cups-files.conf").c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && run("/usr/bin/lpstat -r 2>/dev/null | grep -q 'is running'") != 0;
       i++) {
    usleep(100000);
  }
  return pid;
}

} // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  char root[] = "/tmp/q48-cups-latency.XXXXXX";
  if (mkdtemp(root) == nullptr) {
    return 1;
  }
  g_root = root;
  set_up();
  chmod(root, 0755);
  if (getuid() == 0) {
    // cupsd runs no job as root; the whole benchmark becomes nobody.
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr ||
        run("chown -R " + std::to_string(nobody->pw_uid) + ":" + std::to_string(nobody->pw_gid) +
            " " + g_root) != 0 ||
        setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
      std::fputs("cannot become nobody\n", stderr);
      return 1;
    }
  }
  setenv("HOME", root, 1);
  // Made by the user the backends run as: its testbed is private to it.
  q48_emu_config cfg;
  q48_emu_config_default(&cfg);
  cfg.serial = kSerial;
  q48_emu *emu = q48_emu_new(&cfg);
  if (emu == nullptr) {
    return 1;
  }
  spit(g_root + "/umockdev_dir", q48_emu_root_dir(emu));
  const pid_t cupsd = start_cupsd();
  const std::string serial = kSerial;
  const std::vector<std::pair<std::string, std::string>> queues = {
      {"discard", "discard:/"},
      {"usb", "usb://Mirelvank/Q48?serial=" + serial},
      {"q48", "q48://usb?serial=" + serial}};
  for (const auto &[name, uri] : queues) {
    run("/usr/sbin/lpadmin -p " + name + " -E -v '" + uri +
        "' -P " Q48_CUPS_SOURCE "/q48.ppd -o printer-error-policy=abort-job 2>/dev/null");
  }
  const std::vector<std::size_t> sizes = {1, 4096};
  for (std::size_t size : sizes) {
    spit(g_root + "/job-" + std::to_string(size), std::string(size, '\x0c'));
  }
  // [queue][size] -> samples
  std::vector<std::vector<std::vector<double>>> latency(
      queues.size(), std::vector<std::vector<double>>(sizes.size()));
  auto cpu = latency;
  cups_option_t *raw = nullptr;
  const int n_raw = cupsAddOption("raw", "true", 0, &raw);
  for (int round = 0; round < rounds; round++) {
    for (std::size_t k = 0; k < queues.size(); k++) {
      const std::size_t q = (k + static_cast<std::size_t>(round)) % queues.size();
      for (std::size_t s = 0; s < sizes.size(); s++) {
        const std::string file = g_root + "/job-" + std::to_string(sizes[s]);
        const double start = now_ms();
        const int id = cupsPrintFile(queues[q].first.c_str(), file.c_str(), "latency", n_raw, raw);
        while (id > 0 && job_state(id) < IPP_JSTATE_CANCELED && now_ms() - start < 60000) {
          usleep(1000);
        }
        if (job_state(id) < IPP_JSTATE_CANCELED) {
          cupsCancelJob(queues[q].first.c_str(), id);
        }
        latency[q][s].push_back(now_ms() - start);
        cpu[q][s].push_back(last_cpu_ms(queues[q].first));
        if (job_state(id) != IPP_JSTATE_COMPLETED) {
          std::fprintf(stderr, "job %d on %s did not complete\n", id, queues[q].first.c_str());
        }
      }
    }
  }
  std::printf("lp to completed, and the backend's CPU (user + system); medians of %d rounds\n",
              rounds);
  std::printf("%-10s %14s %14s %14s %14s\n", "backend", "1 B: ms", "1 B: CPU ms", "4 KiB: ms",
              "4 KiB: CPU ms");
  for (std::size_t q = 0; q < queues.size(); q++) {
    std::printf("%-10s", queues[q].first.c_str());
    for (std::size_t s = 0; s < sizes.size(); s++) {
      std::printf(" %14.1f %14.1f", median(latency[q][s]), median(cpu[q][s]));
    }
    std::printf("\n");
  }
  for (std::size_t s = 0; s < sizes.size(); s++) {
    std::printf("q48 over the floor, %zu B: x%.2f (usb: x%.2f)\n", sizes[s],
                median(latency[2][s]) / median(latency[0][s]),
                median(latency[1][s]) / median(latency[0][s]));
  }
  cupsFreeOptions(n_raw, raw);
  kill(cupsd, SIGTERM);
  waitpid(cupsd, nullptr, 0);
  q48_emu_free(emu);
  run("rm -rf " + g_root);
  return 0;
}
