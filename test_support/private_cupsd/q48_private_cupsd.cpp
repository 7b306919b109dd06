#include "q48_private_cupsd.h"

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

#include <cstdlib>
#include <fstream>
#include <utility>
#include <sstream>

#include <cups/cups.h>

namespace q48cupsd {
namespace {

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

// Whether the scheduler at port answers a request.
bool answers(int port) {
  http_t *http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                              1000, nullptr);
  bool ok = false;
  if (http != nullptr) {
    ipp_t *response = cupsDoRequest(http, ippNewRequest(IPP_OP_CUPS_GET_PRINTERS), "/");
    ok = response != nullptr;
    ippDelete(response);
    httpClose(http);
  }
  return ok;
}

// Gives dir, and everything in it, to user.
bool give(const std::string &dir, const passwd &user) {
  const std::string owner = std::to_string(user.pw_uid) + ":" + std::to_string(user.pw_gid);
  return std::system(("chown -R " + owner + " '" + dir + "'").c_str()) == 0;
}

// Makes this process user's, without a supplementary group.
bool become(const passwd &user) {
  return setgroups(0, nullptr) == 0 && setgid(user.pw_gid) == 0 && setuid(user.pw_uid) == 0;
}

} // namespace

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void spit(const std::string &path, const std::string &text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

bool leave_root(const std::string &dir) {
  if (getuid() != 0) {
    return true;
  }
  const passwd *nobody = getpwnam("nobody");
  return nobody != nullptr && give(dir, *nobody) && become(*nobody);
}

server start(const std::string &dir, const char *log_level) {
  for (const char *d : {"/bin", "/bin/backend", "/bin/filter", "/etc", "/spool", "/spool/tmp",
                        "/state", "/cache", "/log"}) {
    mkdir((dir + d).c_str(), 0755);
  }
  // A caller that stays root (to play the administrator) gets a cupsd that
  // runs as nobody all the same, in a folder that is nobody's.
  const passwd *nobody = getuid() == 0 ? getpwnam("nobody") : nullptr;
  if (nobody != nullptr && !give(dir, *nobody)) {
    return {};
  }
  const gid_t gid = nobody != nullptr ? nobody->pw_gid : getgid();
  symlink("/usr/lib/cups/daemon", (dir + "/bin/daemon").c_str());
  spit(dir + "/etc/cups-files.conf",
       "ServerRoot " + dir + "/etc\nServerBin " + dir + "/bin\nRequestRoot " + dir +
           "/spool\nTempDir " + dir + "/spool/tmp\nStateDir " + dir + "/state\nCacheDir " + dir +
           "/cache\nAccessLog " + dir + "/log/access_log\nErrorLog " + dir +
           "/log/error_log\nPageLog " + dir + "/log/page_log\nSystemGroup " +
           getgrgid(gid)->gr_name + "\nSandboxing Off\n");
  server s;
  const int port = free_port();
  spit(dir + "/etc/cupsd.conf", "Listen 127.0.0.1:" + std::to_string(port) + "\nLogLevel " +
                                    log_level +
                                    "\nMaxLogSize 0\nBrowsing Off\nWebInterface No\n"
                                    "DefaultAuthType None\n<Location />\nOrder allow,deny\n"
                                    "Allow all\n</Location>\n<Policy default>\n<Limit All>\n"
                                    "Order deny,allow\nAllow all\n</Limit>\n</Policy>\n");
  const pid_t parent = getpid();
  s.pid = fork();
  if (s.pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
      _exit(1);
    }
    if (nobody != nullptr && !become(*nobody)) {
      _exit(1);
    }
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", (dir + "/etc/cupsd.conf").c_str(), "-s",
          (dir + "/etc/cups-files.conf").c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 400 && s.pid > 0; i++) {
    if (answers(port)) {
      s.port = port;
      break;
    }
    usleep(50000);
  }
  return s;
}

void stop(const server &s) {
  if (s.pid > 0) {
    kill(s.pid, SIGTERM);
    waitpid(s.pid, nullptr, 0);
  }
}

void use(int port) {
  const std::string at = "127.0.0.1:" + std::to_string(port);
  setenv("CUPS_SERVER", at.c_str(), 1);
  cupsSetServer(at.c_str());
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

void install_q48(const std::string &dir, const q48_build &build) {
  for (const char *d : {"/bin", "/bin/backend", "/bin/filter", "/lib", "/etc"}) {
    mkdir((dir + d).c_str(), 0755);
  }
  for (const auto &[from, to] :
       {std::pair<const std::string &, const char *>{build.backend, "/bin/q48"},
        {build.filter, "/bin/q48-coded-to-raw"},
        {build.api_lib, "/lib/libQ48Api.so.1"},
        {build.tb_lib, "/lib/libQ48Tb.so.1"}}) {
    spit(dir + to, slurp(from), 0755);
  }
  const std::string env = "export LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=$(cat " + dir +
                          "/umockdev_dir) LD_LIBRARY_PATH=" + dir +
                          "/lib ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0\n";
  spit(dir + "/bin/backend/q48", "#!/bin/sh\n" + env + "exec " + dir + "/bin/q48 \"$@\"\n", 0755);
  spit(dir + "/bin/filter/q48-coded-to-raw",
       "#!/bin/sh\n" + env + "exec " + dir + "/bin/q48-coded-to-raw \"$@\"\n", 0755);
  spit(dir + "/etc/q48.types", slurp(build.cups_source + "/q48.types"));
  spit(dir + "/etc/q48.convs", slurp(build.cups_source + "/q48.convs"));
}

} // namespace q48cupsd
