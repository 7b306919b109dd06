// A printer tree in a temporary folder: <T>/dev/usb/lp0 is a FIFO printer and
// <T>/dev/ttyS0 a symbolic link to the slave side of a pseudo-terminal. The
// patterns may stand anywhere in a path, so these count as a line-printer
// node and a serial port.
#ifndef Q48_DEVICE_TREE_H
#define Q48_DEVICE_TREE_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Q48_Api.h"
#include "q48_test_util.h"

class DeviceTree : public ::testing::Test {
protected:
  void SetUp() override {
    // Every test starts as a process in which no open has matched a path.
    communication = 0;
    DEBUG_MESSAGES = 0;
    lp0 = dir.make_parents("dev/usb/lp0");
    ASSERT_EQ(mkfifo(lp0.c_str(), 0600), 0);
    // A reader of our own keeps what the printer receives after it closes.
    lp0_reader = ::open(lp0.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(lp0_reader, 0);

    char slave[128];
    ASSERT_EQ(openpty(&pty_master, &pty_slave_keep, slave, nullptr, nullptr), 0);
    ttyS0 = dir.make_parents("dev/ttyS0");
    ASSERT_EQ(symlink(slave, ttyS0.c_str()), 0);
  }
  void TearDown() override {
    ::close(lp0_reader);
    ::close(pty_master);
    ::close(pty_slave_keep);
  }

  // open() takes a writable path.
  intptr_t open_path(const std::string &path) {
    std::string copy = path;
    return Q48_api_printer_open(copy.data());
  }

  std::string drain_lp0() {
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(lp0_reader, buf, sizeof buf)) > 0) {
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

  q48test::temp_dir dir;
  std::string lp0;
  std::string ttyS0;
  int lp0_reader = -1;
  int pty_master = -1;
  int pty_slave_keep = -1;
};

#endif
