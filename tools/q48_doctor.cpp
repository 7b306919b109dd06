// q48-doctor: tells whoever sets up a till what stands between them and a
// printed receipt, one line per check:
//
//   OK      printer /dev/bus/usb/001/011: serial Q48EMU0001, Mirelvank Q48
//   PROBLEM access /dev/bus/usb/001/011: alice cannot read and write it ...
//           sudo usermod -aG lp alice
//
// Each line short of OK is followed by the commands that fix it. It looks
// and never changes anything: it reads sysfs, the udev rules, the group
// database and /proc, asks libusb whether a kernel driver is bound and
// claims the interface only where none is (releasing it at once), and asks
// cupsd about its queues. It sends a byte only for --form-feed. Exit status:
// 0 nothing is a PROBLEM, 1 something is, 2 the command line is wrong.

#include "q48_doctor.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <libusb.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Q48_Api.h"
#include "Q48_Tb.h"
#include "q48_args.h"
#include "q48_clock.h"
#include "q48_doctor_rule.h"
#include "q48_open_codes.h"
#include "q48_text.h"

namespace q48doctor {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;

// The whole run stays within 3 seconds whatever the printer does: the claims
// of all printers share one budget, and Python, which starts first and runs
// beside the other checks, gets a deadline of its own.
constexpr long kClaimBudgetMs = 500;
constexpr long kClaimStepMs = 50;
constexpr long kPythonBudgetMs = 2000;

const char kUsage[] =
    "usage: q48-doctor [--json] [--form-feed] [SERIAL | PATH]\n"
    "Checks what stands between this user and a printed receipt: the attached\n"
    "Q48 printers, access to their nodes, whether another program holds one,\n"
    "the CUPS queues that print to them, and the libraries' versions. Prints\n"
    "one line per check, OK, WARNING or PROBLEM, and under each line short of\n"
    "OK the commands that fix it.\n"
    "  SERIAL | PATH  check only the printer with this serial number, or at this\n"
    "                 path (/dev/bus/usb/BBB/DDD, /dev/usb/lpN, /dev/ttySN)\n"
    "  --json         the same findings as JSON\n"
    "  --form-feed    send each printer checked a form feed (the only byte sent)\n"
    "Exit status: 0 no PROBLEM, 1 a PROBLEM, 2 usage.\n";

bool g_json = false;
int g_findings = 0;
int g_problems = 0;
int g_warnings = 0;

const char *state_name(state s) {
  return s == state::ok ? "OK" : s == state::warning ? "WARNING" : "PROBLEM";
}

// Everything here is text the doctor made (and shown() made printable), but
// JSON must stay valid whatever it holds.
void json_string(const char *s) {
  std::putchar('"');
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p != 0; ++p) {
    if (*p == '"' || *p == '\\') {
      std::printf("\\%c", *p);
    } else if (*p < 0x20) {
      std::printf("\\u%04x", *p);
    } else {
      std::putchar(*p);
    }
  }
  std::putchar('"');
}

} // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf's own checks (the format attribute) need its form
text &text::add(const char *format, ...) {
  if (len + 1 < sizeof buf) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf + len, sizeof buf - len, format, args);
    va_end(args);
    len = n < 0 ? len : std::min(len + static_cast<std::size_t>(n), sizeof buf - 1);
  }
  return *this;
}

text &text::shown(const char *s) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p != 0;) {
    unsigned cp = 0;
    const int n = q48::utf8_sequence(p, &cp);
    if (n == 0 || (n == 1 && q48::hidden(cp))) {
      add("\\x%02X", *p++);
    } else if (q48::hidden(cp)) {
      add("\\u%04X", cp); // shown, and no longer able to pass for something else
      p += n;
    } else if (*p == '\\') {
      add("\\\\");
      p++;
    } else {
      add("%.*s", n, reinterpret_cast<const char *>(p));
      p += n;
    }
  }
  return *this;
}

text &text::word(const char *s) {
  const bool plain =
      *s != '\0' && std::strspn(s, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789_@%+=:,./-") == std::strlen(s);
  if (plain) {
    return add("%s", s);
  }
  add("'");
  for (const char *p = s; *p != '\0'; ++p) {
    add(*p == '\'' ? "'\\''" : "%c", *p);
  }
  return add("'");
}

void report(const finding &f) {
  g_findings++;
  g_problems += f.st == state::problem ? 1 : 0;
  g_warnings += f.st == state::warning ? 1 : 0;
  if (!g_json) {
    std::printf("%-8s%s%s%s: %s\n", state_name(f.st), f.check, f.subject.len > 0 ? " " : "",
                f.subject.c_str(), f.found.c_str());
    for (int i = 0; i < f.fix_count; i++) {
      std::printf("        %s\n", f.fixes[i].c_str());
    }
    return;
  }
  (void)std::fputs(g_findings == 1 ? "{\"findings\":[\n{\"check\":" : ",\n{\"check\":", stdout);
  json_string(f.check);
  (void)std::fputs(",\"subject\":", stdout);
  json_string(f.subject.c_str());
  std::printf(",\"state\":\"%s\",\"found\":", state_name(f.st));
  json_string(f.found.c_str());
  (void)std::fputs(",\"fix\":[", stdout);
  for (int i = 0; i < f.fix_count; i++) {
    (void)std::fputs(i > 0 ? "," : "", stdout);
    json_string(f.fixes[i].c_str());
  }
  (void)std::fputs("]}", stdout);
}

const char *sudo() { return geteuid() == 0 ? "" : "sudo "; }

const q48::printer *printer_at(const q48::printer_list &printers, const char *path) {
  for (const q48::printer &p : printers) {
    if (std::strcmp(p.path, path) == 0 || (p.lp[0] != '\0' && std::strcmp(p.lp, path) == 0)) {
      return &p;
    }
  }
  return nullptr;
}

#ifndef Q48_DOCTOR_CUPS
void check_cups(const q48::printer_list &, const q48::printer *, const char *) {
  finding f;
  f.check = "cupsd";
  f.found.add("not checked: this q48-doctor was built without CUPS");
  report(f);
}
#endif

namespace {

// ---- who is asking ---------------------------------------------------------

// The user the checks are for: the groups this process has now, and those
// the group database gives the user, which a new login would have.
struct identity {
  char name[256] = "";
  gid_t primary = 0;
  gid_t now[1024] = {};
  int now_count = 0;
  gid_t at_login[1024] = {};
  int at_login_count = 0;

  identity() {
    const passwd *pw = getpwuid(geteuid());
    if (pw != nullptr) {
      (void)std::snprintf(name, sizeof name, "%s", pw->pw_name);
      primary = pw->pw_gid;
      at_login_count = static_cast<int>(std::size(at_login));
      if (getgrouplist(pw->pw_name, pw->pw_gid, at_login, &at_login_count) < 0) {
        at_login_count = 0;
      }
    } else {
      (void)std::snprintf(name, sizeof name, "uid %u", static_cast<unsigned>(geteuid()));
    }
    now_count = std::max(getgroups(static_cast<int>(std::size(now)), now), 0);
  }
  bool has_now(gid_t g) const {
    return g == getegid() || std::find(now, now + now_count, g) != now + now_count;
  }
  bool has_at_login(gid_t g) const {
    return g == primary ||
           std::find(at_login, at_login + at_login_count, g) != at_login + at_login_count;
  }
};

// ---- the udev rule -----------------------------------------------------------

// Where udev reads rules from; a file in /etc replaces the one of the same
// name that the package put in /usr/lib.
constexpr const char *kRuleDirs[] = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d"};

struct udev_rule {
  char path[128] = ""; // "" when there is none
  char group[64] = ""; // "" when the rule names none
  unsigned mode = 0;
  bool uaccess = false;
};

// The value of KEY="value" (or KEY:="value") in line, into out.
void rule_value(const char *line, const char *key, char *out, std::size_t cap) {
  const char *at = std::strstr(line, key);
  if (at == nullptr) {
    return;
  }
  at += std::strlen(key);
  at += *at == ':' ? 1 : 0;
  if (at[0] == '=' && at[1] == '"') {
    const char *end = std::strchr(at + 2, '"');
    const int n = end != nullptr ? static_cast<int>(end - at - 2) : 0;
    (void)std::snprintf(out, cap, "%.*s", n, at + 2);
  }
}

udev_rule find_rule() {
  udev_rule r;
  for (const char *dir : kRuleDirs) {
    char path[128];
    (void)std::snprintf(path, sizeof path, "%s/%s", dir, kUdevRuleFile);
    FILE *f = std::fopen(path, "re");
    if (f == nullptr) {
      continue;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (line[0] != '#' && strcasestr(line, "idVendor}==\"2f7a\"") != nullptr) {
        (void)std::snprintf(r.path, sizeof r.path, "%s", path);
        rule_value(line, "GROUP", r.group, sizeof r.group);
        char mode[16] = "";
        rule_value(line, "MODE", mode, sizeof mode);
        r.mode = static_cast<unsigned>(std::strtoul(mode, nullptr, 8));
        r.uaccess = std::strstr(line, "uaccess") != nullptr;
      }
    }
    (void)std::fclose(f);
    if (r.path[0] != '\0') {
      break;
    }
  }
  return r;
}

void fix_install_rule(finding &f) {
  f.fix().add("echo '%s' | %sinstall -D -m 644 /dev/stdin /etc/udev/rules.d/%s", kUdevRule, sudo(),
              kUdevRuleFile);
  f.fix().add("%sudevadm control --reload-rules", sudo());
  f.fix().add("%sudevadm trigger --subsystem-match=usb --attr-match=idVendor=2f7a", sudo());
}

// ---- access ------------------------------------------------------------------

const char *group_name(gid_t g, char *buf, std::size_t cap) {
  const group *gr = getgrgid(g);
  if (gr != nullptr) {
    (void)std::snprintf(buf, cap, "%s", gr->gr_name);
  } else {
    (void)std::snprintf(buf, cap, "%u", static_cast<unsigned>(g));
  }
  return buf;
}

// Whether this user can open node for reading and writing and, if not, the
// first thing missing of what gives access: for the raw USB node the udev
// rule, its group and mode on the node; for any node the user's membership
// of the group, in the database and in this session. False when denied.
bool check_access(const char *node, const udev_rule *rule, const identity &me) {
  finding f;
  f.check = "access";
  f.subject.add("%s", node);
  struct stat st {};
  if (stat(node, &st) != 0) {
    f.st = state::problem;
    f.found.add("the node is missing (%s)", std::strerror(errno));
    f.fix().add("# unplug the printer and plug it in again");
    report(f);
    return false;
  }
  char node_group[64];
  (void)group_name(st.st_gid, node_group, sizeof node_group);
  const unsigned mode = st.st_mode & 07777;
  if (access(node, R_OK | W_OK) == 0) {
    f.found.add("%s can read and write it (group %s, mode %04o)", me.name, node_group, mode);
    report(f);
    return true;
  }
  f.st = state::problem;
  f.found.add("%s cannot read and write it (group %s, mode %04o): ", me.name, node_group, mode);
  const bool usb = rule != nullptr;
  const char *needed = usb ? rule->group : node_group;
  const group *gr = needed[0] != '\0' ? getgrnam(needed) : nullptr;
  if (usb && (rule->path[0] == '\0' || rule->group[0] == '\0')) {
    f.found.add(rule->path[0] == '\0'
                    ? "no udev rule gives access to the printer"
                    : "the udev rule names no group, only the user at the seat may use it");
    fix_install_rule(f);
  } else if (usb &&
             (gr == nullptr || gr->gr_gid != st.st_gid || (mode & rule->mode) != rule->mode)) {
    f.found.add("the udev rule's group %s and mode %04o were not applied to it", rule->group,
                rule->mode);
    f.fix().add("%sudevadm control --reload-rules", sudo());
    f.fix().add("%sudevadm trigger --subsystem-match=usb --attr-match=idVendor=2f7a", sudo());
  } else if (gr != nullptr && !me.has_at_login(gr->gr_gid)) {
    f.found.add("%s is not in group %s", me.name, needed);
    f.fix().add("%susermod -aG %s ", sudo(), needed).word(me.name);
    f.fix().add("# then log out and in again (a service: restart it)");
  } else if (gr != nullptr && !me.has_now(gr->gr_gid)) {
    f.found.add("%s is in group %s, but this session began before that: log in again", me.name,
                needed);
    f.fix().add("newgrp %s   # or log out and in again (a service: restart it)", needed);
  } else if ((mode & 0060) != 0060) {
    f.found.add("group %s may not read and write it", node_group);
    f.fix().add("%schmod g+rw %s", sudo(), node);
  } else {
    f.found.add("something else refuses it (an ACL, a security module)");
    f.fix().add("getfacl %s", node);
  }
  report(f);
  return false;
}

// ---- who holds a node --------------------------------------------------------

// Lists in out the processes (other than this one) that have node open,
// found through /proc/*/fd, and returns how many; *hidden counts those whose
// descriptors this user may not see.
int find_holders(const char *node, text &out, int *hidden, pid_t pids[], int cap) {
  struct stat want {};
  *hidden = 0;
  if (stat(node, &want) != 0) {
    return 0;
  }
  int found = 0;
  DIR *proc = opendir("/proc");
  for (dirent *e = proc != nullptr ? readdir(proc) : nullptr; e != nullptr; e = readdir(proc)) {
    long pid = 0;
    if (!q48args::parse_count(e->d_name, 1, INT32_MAX, &pid) || pid == getpid()) {
      continue;
    }
    char dir[64];
    (void)std::snprintf(dir, sizeof dir, "/proc/%ld/fd", pid);
    DIR *fds = opendir(dir);
    *hidden += fds == nullptr && errno == EACCES ? 1 : 0;
    bool holds = false;
    for (dirent *d = fds != nullptr ? readdir(fds) : nullptr; d != nullptr && !holds;
         d = readdir(fds)) {
      char link[320];
      char target[256];
      (void)std::snprintf(link, sizeof link, "%s/%s", dir, d->d_name);
      const ssize_t n = readlink(link, target, sizeof target - 1);
      target[n > 0 ? n : 0] = '\0';
      // Sockets, pipes and the like have no node to compare; stat only files.
      struct stat st {};
      holds = target[0] == '/' && stat(link, &st) == 0 &&
              ((st.st_dev == want.st_dev && st.st_ino == want.st_ino) ||
               (S_ISCHR(st.st_mode) && S_ISCHR(want.st_mode) && want.st_rdev != 0 &&
                st.st_rdev == want.st_rdev));
    }
    if (fds != nullptr) {
      (void)closedir(fds);
    }
    if (holds) {
      char comm[64] = "?";
      (void)std::snprintf(dir, sizeof dir, "/proc/%ld/comm", pid);
      FILE *f = std::fopen(dir, "re");
      if (f != nullptr && std::fgets(comm, sizeof comm, f) != nullptr) {
        comm[std::strcspn(comm, "\n")] = '\0';
      }
      if (f != nullptr) {
        (void)std::fclose(f);
      }
      out.add("%sprocess %ld (", found > 0 ? ", " : "", pid).shown(comm).add(")");
      if (found < cap) {
        pids[found] = static_cast<pid_t>(pid);
      }
      found++;
    }
  }
  if (proc != nullptr) {
    (void)closedir(proc);
  }
  return found;
}

// ---- the raw USB road: kernel driver and claim ----------------------------------

struct usb_look {
  int open_error = LIBUSB_ERROR_NOT_FOUND; // 0 once opened
  int driver = -1;                         // 1 bound, 0 not, -1 unknown
  int claim = 1; // 0 claimed and released, else libusb's error; 1 not tried
};

// Closes what libusb opened, on every way out.
struct usb_session {
  libusb_context *ctx = nullptr;
  int error = libusb_init(&ctx);
  bool ok = error == 0;
  usb_session() = default;
  usb_session(const usb_session &) = delete;
  usb_session &operator=(const usb_session &) = delete;
  ~usb_session() {
    if (ok) {
      libusb_exit(ctx);
    }
  }
};

struct handle_guard {
  libusb_device_handle *h = nullptr;
  handle_guard() = default;
  handle_guard(const handle_guard &) = delete;
  handle_guard &operator=(const handle_guard &) = delete;
  ~handle_guard() {
    if (h != nullptr) {
      libusb_close(h);
    }
  }
};

// Opens p's device without detaching anything, asks whether a kernel driver
// holds interface 0, and where none does claims it and releases it at once,
// trying again while it is busy until claim_deadline.
usb_look look_at(const usb_session &usb, const q48::printer &p, long claim_deadline) {
  usb_look look;
  look.open_error = usb.ok ? LIBUSB_ERROR_NOT_FOUND : usb.error;
  handle_guard handle;
  libusb_device **devices = nullptr;
  const ssize_t n = usb.ok ? libusb_get_device_list(usb.ctx, &devices) : 0;
  for (ssize_t i = 0; i < n && handle.h == nullptr && look.open_error != LIBUSB_ERROR_ACCESS; i++) {
    if (libusb_get_bus_number(devices[i]) == p.bus &&
        libusb_get_device_address(devices[i]) == p.address) {
      look.open_error = libusb_open(devices[i], &handle.h);
    }
  }
  if (devices != nullptr) {
    libusb_free_device_list(devices, 1);
  }
  if (handle.h == nullptr) {
    return look;
  }
  look.driver = libusb_kernel_driver_active(handle.h, 0);
  if (look.driver == 0) {
    do {
      look.claim = libusb_claim_interface(handle.h, 0);
      if (look.claim == 0) {
        (void)libusb_release_interface(handle.h, 0);
      } else if (look.claim == LIBUSB_ERROR_BUSY && q48::now_ms() < claim_deadline) {
        (void)usleep(kClaimStepMs * 1000);
      }
    } while (look.claim == LIBUSB_ERROR_BUSY && q48::now_ms() < claim_deadline);
  }
  return look;
}

void report_usblp(const q48::printer &p, const usb_look &look) {
  finding f;
  f.check = "usblp";
  f.subject.add("%s", p.path);
  if (p.lp[0] != '\0') {
    f.found.add("bound, serving the printer as %s; opening %s (libQ48Api, the q48 CUPS backend) "
                "detaches usblp, and %s is then gone until the printer is plugged in again",
                p.lp, p.path, p.lp);
  } else if (look.driver == 1) {
    f.found.add("bound; opening %s (libQ48Api, the q48 CUPS backend) detaches it", p.path);
  } else {
    f.found.add("not bound: only %s reaches the printer", p.path);
  }
  report(f);
}

void fix_kill(finding &f, const pid_t pids[], int count) {
  for (int i = 0; i < count && i < kMaxFixes; i++) {
    f.fix().add("%skill %ld   # if it should not be printing now", sudo(),
                static_cast<long>(pids[i]));
  }
}

void report_busy(const q48::printer &p, const usb_look &look) {
  finding f;
  f.check = "busy";
  f.subject.add("%s", p.path);
  pid_t pids[kMaxFixes];
  int hidden = 0;
  if (look.open_error == LIBUSB_ERROR_ACCESS) {
    return; // the access line says why, and what to do
  }
  if (look.open_error != 0) {
    f.st = state::warning;
    f.found.add("libusb cannot open it: %s", libusb_error_name(look.open_error));
    f.fix().add("# unplug the printer and plug it in again");
  } else if (look.driver == 1) {
    const char *node = p.lp[0] != '\0' ? p.lp : nullptr;
    text held;
    const int n = node != nullptr ? find_holders(node, held, &hidden, pids, kMaxFixes) : 0;
    if (n > 0) {
      f.st = state::problem;
      f.found.add("%s is open in %s", node, held.c_str());
      fix_kill(f, pids, n);
    } else {
      f.found.add("usblp holds interface 0 and no program has %s open; not claimed, so as to "
                  "leave usblp bound",
                  node != nullptr ? node : "its node");
    }
  } else if (look.claim == 0) {
    f.found.add("interface 0 was free: claimed and released at once");
  } else if (look.claim == LIBUSB_ERROR_BUSY) {
    f.st = state::problem;
    f.found.add("another program holds interface 0");
    text held;
    int n = find_holders(p.path, held, &hidden, pids, kMaxFixes);
    if (n == 0 && p.lp[0] != '\0') {
      n = find_holders(p.lp, held, &hidden, pids, kMaxFixes);
    }
    if (n > 0) {
      f.found.add(": %s", held.c_str());
      fix_kill(f, pids, n);
    } else if (hidden > 0) {
      f.found.add(", in a process of another user");
      f.fix().add("sudo q48-doctor %s   # names that process", p.path);
    } else {
      f.found.add(", but no process here has the node open");
      f.fix().add("# unplug the printer and plug it in again");
    }
  } else {
    f.st = state::warning;
    f.found.add("claiming interface 0 failed: %s", libusb_error_name(look.claim));
    f.fix().add("# unplug the printer and plug it in again");
  }
  report(f);
}

// ---- versions --------------------------------------------------------------------

// python3 imports q48 and prints the libraries' strings on one line, or
// what went wrong; exit 3: there is no q48.
const char kPythonCheck[] =
    "import sys\n"
    "try:\n"
    "    import q48\n"
    "    print(q48.api_library_info() + '\\t' + q48.toolbox_library_info())\n"
    "except Exception as e:\n"
    "    print(type(e).__name__ + ': ' + str(e))\n"
    "    sys.exit(3 if isinstance(e, ModuleNotFoundError) and e.name == 'q48' else 1)\n";

// python3 running beside the other checks, killed if it outlives its time.
struct python_run {
  pid_t pid = -1;
  int out = -1;
  long deadline = 0;
  char said[8192] = "";
  std::size_t len = 0;
  python_run() = default;
  python_run(const python_run &) = delete;
  python_run &operator=(const python_run &) = delete;
  ~python_run() {
    if (pid > 0) {
      (void)kill(pid, SIGKILL);
      (void)waitpid(pid, nullptr, 0);
    }
    if (out >= 0) {
      (void)close(out);
    }
  }

  void start() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    char arg0[] = "python3";
    char arg1[] = "-c";
    char *argv[] = {arg0, arg1, const_cast<char *>(kPythonCheck), nullptr};
    deadline = q48::now_ms() + kPythonBudgetMs;
    if (posix_spawnp(&pid, "python3", &fa, nullptr, argv, environ) != 0) {
      pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    (void)close(fds[1]);
    out = fds[0];
  }

  // Reads until python3 ends; its exit status, -1 when a signal ended it,
  // or kTimedOut (the destructor then kills it).
  static constexpr int kTimedOut = -2;
  int finish() {
    for (long left = deadline - q48::now_ms(); left > 0 && len + 1 < sizeof said;
         left = deadline - q48::now_ms()) {
      pollfd p{out, POLLIN, 0};
      const ssize_t n = poll(&p, 1, static_cast<int>(left)) > 0
                            ? read(out, said + len, sizeof said - 1 - len)
                            : 0;
      if (n <= 0) {
        break;
      }
      len += static_cast<std::size_t>(n);
    }
    said[len] = '\0';
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (q48::now_ms() >= deadline) {
        return kTimedOut;
      }
      (void)usleep(10000);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

void report_versions(python_run &python, bool have_python) {
  const char *api = Q48_api_get_library_info();
  const char *tb = Q48_tb_get_library_info();
  finding a;
  a.check = "libQ48Api";
  a.found.shown(api);
  report(a);
  finding t;
  t.check = "libQ48Tb";
  t.found.shown(tb);
  report(t);

  finding f;
  f.check = "python3";
  if (!have_python) {
    f.found.add("not installed: the Python package q48 was not checked");
    report(f);
    return;
  }
  const int status = python.finish();
  text same;
  same.add("%s\t%s\n", api, tb);
  const bool same_libraries = std::strcmp(python.said, same.c_str()) == 0;
  python.said[std::strcspn(python.said, "\n")] = '\0';
  if (status == python_run::kTimedOut) {
    f.st = state::warning;
    f.found.add("python3 did not import q48 within %ld ms", kPythonBudgetMs);
    f.fix().add("python3 -X importtime -c 'import q48'   # shows what it waits for");
  } else if (status == 3) {
    f.found.add("python3 has no package q48 (needed only by Python programs)");
  } else if (status != 0) {
    f.st = state::warning;
    f.found.add("python3 cannot import q48: ").shown(python.said);
    f.fix().add("%sapt install --reinstall python3-q48 libq48-1", sudo());
  } else if (!same_libraries) {
    f.st = state::warning;
    f.found.add("python3's q48 loads other libraries than this program: ").shown(python.said);
    f.fix().add("python3 -c 'import q48._native as n; print(n.__file__)'   # shows where from");
  } else {
    f.found.add("imports q48, which loads the same libraries as this program");
  }
  report(f);
}

// ---- the form feed -----------------------------------------------------------------

// Q48_Api_Test's form feed: a clear, then 0x0C. Where usblp holds the
// printer it goes through the line-printer node, so that nothing is
// detached.
void form_feed(const char *path) {
  finding f;
  f.check = "form feed";
  f.subject.add("%s", path);
  char *copy = strdup(path); // open cuts a USB path into tokens
  const intptr_t printer = copy != nullptr ? Q48_api_printer_open(copy) : Q48_API_NO_MEMORY;
  std::free(copy);
  unsigned char ff = 0x0C;
  if (printer < 0) {
    f.st = state::problem;
    f.found.add("cannot open it: %s (code %ld)", q48::open_meaning(printer),
                static_cast<long>(printer));
    f.fix().add("# see the access and busy lines above");
  } else {
    (void)Q48_api_printer_clear(printer);
    if (Q48_api_printer_write(printer, &ff, 1, 1000) == 1) {
      f.found.add("sent 0C");
    } else {
      f.st = state::problem;
      f.found.add("the printer took nothing within 1000 ms");
      f.fix().add("# switch the printer on, close its cover, give it paper");
    }
    Q48_api_printer_close(printer);
  }
  report(f);
}

// ---- the printers ----------------------------------------------------------------

// A PATH operand: /dev/bus/usb/BBB/DDD in any spelling of its numbers
// becomes the form sysfs gives.
void canonical_path(const char *path, char *out, std::size_t cap) {
  (void)std::snprintf(out, cap, "%s", path);
  const char prefix[] = "/dev/bus/usb/";
  char bus[16] = "";
  char dev[16] = "";
  int end = 0;
  long b = 0;
  long d = 0;
  if (std::strncmp(path, prefix, sizeof prefix - 1) == 0 &&
      std::sscanf(path + sizeof prefix - 1, "%15[0-9]/%15[0-9]%n", bus, dev, &end) == 2 &&
      path[sizeof prefix - 1 + static_cast<std::size_t>(end)] == '\0' &&
      q48args::parse_count(bus, 1, 255, &b) && q48args::parse_count(dev, 1, 255, &d)) {
    (void)std::snprintf(out, cap, "/dev/bus/usb/%03ld/%03ld", b, d);
  }
}

void report_printer(const q48::printer &p) {
  finding f;
  f.check = "printer";
  f.subject.add("%s", p.path);
  if (p.serial[0] != '\0') {
    f.found.add("serial ").shown(p.serial);
  } else {
    f.found.add("no serial number, so CUPS can only name it by its path");
  }
  f.found.add(", ").shown(p.manufacturer).add(" ").shown(p.product);
  f.found.add(p.lp[0] != '\0' ? ", line-printer node %s" : ", no line-printer node", p.lp);
  report(f);
}

struct options {
  const char *wanted = nullptr; // SERIAL or PATH
  bool form_feed = false;
};

int run(const options &opt) {
  python_run python;
  python.start();
  const bool have_python = python.pid > 0;

  q48::printer_list printers;
  const int sysfs_error = q48::find_printers(printers) ? 0 : errno;
  const identity me;
  const udev_rule rule = find_rule();
  char wanted[512] = "";
  if (opt.wanted != nullptr) {
    canonical_path(opt.wanted, wanted, sizeof wanted);
  }
  const q48::printer *only = nullptr;
  if (opt.wanted != nullptr) {
    only = printer_at(printers, wanted);
    only = only != nullptr ? only : q48::find_serial(printers, wanted);
  }

  // A device file that is no USB printer (a serial port, another lp node):
  // only whether the user may open it can be told.
  const bool device_file = opt.wanted != nullptr && only == nullptr &&
                           std::strncmp(wanted, "/dev/", 5) == 0 &&
                           std::strncmp(wanted, "/dev/bus/usb/", 13) != 0;
  if (sysfs_error != 0 || (opt.wanted == nullptr && printers.count == 0) ||
      (opt.wanted != nullptr && only == nullptr && !device_file)) {
    finding f;
    f.check = "printer";
    f.st = state::problem;
    if (sysfs_error != 0) {
      f.found.add("cannot read the USB devices in /sys/bus/usb/devices: %s",
                  std::strerror(sysfs_error));
      f.fix().add("mount -t sysfs sysfs /sys   # where sysfs is missing (a container)");
    } else {
      f.subject.shown(opt.wanted != nullptr ? opt.wanted : "");
      f.found.add(opt.wanted != nullptr ? "no Q48 printer attached with this serial or path"
                                        : "no Q48 printer attached (USB 2f7a:0001)");
      f.fix().add("# plug the printer in and switch it on; then it shows here:");
      f.fix().add("lsusb -d 2f7a:0001");
    }
    report(f);
  }

  bool usb_denied = false;
  const usb_session usb;
  const long claim_deadline = q48::now_ms() + kClaimBudgetMs;
  for (const q48::printer &p : printers) {
    if (only != nullptr && only != &p) {
      continue;
    }
    report_printer(p);
    const usb_look look = look_at(usb, p, claim_deadline);
    report_usblp(p, look);
    usb_denied = !check_access(p.path, &rule, me) || usb_denied;
    if (p.lp[0] != '\0') {
      (void)check_access(p.lp, nullptr, me);
    }
    report_busy(p, look);
  }
  if (device_file) {
    (void)check_access(wanted, nullptr, me);
  }

  finding r;
  r.check = "udev rule";
  if (rule.path[0] != '\0') {
    r.found.add("%s: group %s, mode %04o%s", rule.path,
                rule.group[0] != '\0' ? rule.group : "(none)", rule.mode,
                rule.uaccess ? ", and the user at the seat (uaccess)" : "");
  } else {
    r.st = usb_denied ? state::problem : state::warning;
    r.found.add("no %s in /etc/udev/rules.d or /usr/lib/udev/rules.d: without it only root can "
                "use the printer's USB node",
                kUdevRuleFile);
    fix_install_rule(r);
  }
  report(r);

  check_cups(printers, only, opt.wanted != nullptr ? wanted : nullptr);
  report_versions(python, have_python);

  if (opt.form_feed) {
    for (const q48::printer &p : printers) {
      if (only == nullptr || only == &p) {
        // Where usblp is bound its node serves, and stays.
        form_feed(p.lp[0] != '\0' ? p.lp : p.path);
      }
    }
  }
  if (g_json) {
    std::printf("%s\n],\"problems\":%d,\"warnings\":%d}\n",
                g_findings == 0 ? "{\"findings\":[" : "", g_problems, g_warnings);
  }
  return g_problems > 0 ? kExitProblem : kExitOk;
}

} // namespace
} // namespace q48doctor

int main(int argc, char **argv) {
  q48doctor::options opt;
  int status = -1;
  bool options_ended = false;
  for (int i = 1; i < argc && status < 0; i++) {
    const char *a = argv[i];
    if (!options_ended && (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0)) {
      status =
          std::fputs(q48doctor::kUsage, stdout) >= 0 ? q48doctor::kExitOk : q48doctor::kExitProblem;
    } else if (!options_ended && std::strcmp(a, "--json") == 0) {
      q48doctor::g_json = true;
    } else if (!options_ended && std::strcmp(a, "--form-feed") == 0) {
      opt.form_feed = true;
    } else if (!options_ended && std::strcmp(a, "--") == 0) {
      options_ended = true;
    } else if ((options_ended || a[0] != '-') && a[0] != '\0' && opt.wanted == nullptr) {
      opt.wanted = a;
    } else {
      (void)std::fprintf(stderr, "q48-doctor: unexpected argument: %s\n", a);
      (void)std::fputs(q48doctor::kUsage, stderr);
      status = q48doctor::kExitUsage;
    }
  }
  if (status < 0) {
    status = q48doctor::run(opt);
  }
  // The findings are the result: ones that cannot be written must not pass
  // for a clean bill of health.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && status != q48doctor::kExitUsage) {
    (void)std::fputs("q48-doctor: cannot write to standard output\n", stderr);
    status = q48doctor::kExitProblem;
  }
  return status;
}
