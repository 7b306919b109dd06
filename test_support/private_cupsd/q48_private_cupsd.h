// A cupsd of one's own, for tests and benchmarks: its configuration, spool,
// logs and programs under one folder, a free loopback port, nothing of the
// machine's own CUPS touched. It dies with the process that started it.
#ifndef Q48_PRIVATE_CUPSD_H
#define Q48_PRIVATE_CUPSD_H

#include <sys/types.h>

#include <string>

#include <cups/ipp.h>

namespace q48cupsd {

std::string slurp(const std::string &path);
void spit(const std::string &path, const std::string &text, mode_t mode = 0644);

// cupsd runs no job as root: a process started as root becomes nobody, and
// dir, which must then be nobody's, is given to it. False when that fails.
bool leave_root(const std::string &dir);

struct server {
  pid_t pid = -1;
  int port = 0; // 0: it did not come up
};

// Starts cupsd with dir as its root: the backends and filters in dir/bin,
// which this makes with the other folders; log_level for dir/log/error_log.
// A caller that is root gets a cupsd that runs as nobody, in a dir that
// becomes nobody's.
server start(const std::string &dir, const char *log_level = "debug");
void stop(const server &s);

// Points the CUPS clients of this process, and the programs it starts, at
// the scheduler on port.
void use(int port);

// A job's state as the scheduler in use reports it.
ipp_jstate_t job_state(int id);

// Where the q48 programs of a build come from.
struct q48_build {
  std::string backend, filter, api_lib, tb_lib;
  std::string cups_source; // the folder of q48.types and q48.convs
};

// Installs the backend and filter of build under dir, for a cupsd started
// there: copies of them and the libraries (so that cupsd's user needs no
// access to the build tree), behind wrappers that give them the testbed of
// the emulated printer whose folder dir/umockdev_dir names, and the MIME
// files. The wrappers read that file at each job: a test may make a new
// testbed after cupsd has started, and cups-deviced hands the backends it
// lists a fixed environment, so SetEnv would not do.
void install_q48(const std::string &dir, const q48_build &build);

} // namespace q48cupsd

#endif // Q48_PRIVATE_CUPSD_H
