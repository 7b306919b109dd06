// Which transport a path selects, and what open returns for it.

#include "device_tree.h"

#include <cstring>
#include <sys/wait.h>

namespace {

using Classification = DeviceTree;

TEST(LoadTime, GlobalsStartAtTheirDefaults) {
  // Checked in a child that touches nothing, since other tests change them.
  const pid_t pid = fork();
  if (pid == 0) {
    const bool ok = DEBUG_MESSAGES == 0 && communication == 0 && Q48_API_ACCESS_WRITE == 0x02 &&
                    Q48_API_ACCESS_READ == 0x81 && Q48_API_INTERFACE == 0 &&
                    Q48_API_ACCESS_READ_ENDPOINT_SIZE == 64 && m_pub_rx_buffer == nullptr &&
                    m_index_rx_bottom == 0 && m_index_rx_top == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Classification, NullPathIsRefusedAndKeepsTheMode) {
  communication = 1;
  EXPECT_EQ(Q48_api_printer_open(nullptr), -2);
  EXPECT_EQ(communication, 1);
  communication = 0;
  EXPECT_EQ(Q48_api_printer_open(nullptr), -2);
  EXPECT_EQ(communication, 0);
}

TEST_F(Classification, UnmatchedPathWithoutEarlierModeOpensNothing) {
  const std::string plain = dir.path() + "/printer";
  ASSERT_EQ(mkfifo(plain.c_str(), 0600), 0);
  const int fds_before = q48test::open_fd_count();
  for (const char *path : {plain.c_str(), "/dev/ttyUSB0", "/dev/USB/lp0"}) {
    EXPECT_EQ(open_path(path), -2) << path;
    EXPECT_EQ(communication, 0) << path;
  }
  EXPECT_EQ(q48test::open_fd_count(), fds_before);
}

TEST_F(Classification, UnmatchedPathFollowsTheEarlierMode) {
  const std::string plain = dir.path() + "/printer";
  ASSERT_EQ(mkfifo(plain.c_str(), 0600), 0);

  const intptr_t lp = open_path(lp0);
  ASSERT_GE(lp, 0);
  Q48_api_printer_close(lp);
  const intptr_t again = open_path(plain);
  EXPECT_GE(again, 0) << "a device-file mode opens the plain path as a device file";
  EXPECT_EQ(communication, 1);
  Q48_api_printer_close(again);

  communication = 2;
  EXPECT_EQ(open_path(plain), -2) << "the USB branch finds no bus and device in the path";
  EXPECT_EQ(communication, 2);
}

TEST_F(Classification, PatternsMatchAnywhereWithTheirOwnCaseRules) {
  struct row {
    const char *path;
    int mode;
  };
  const row rows[] = {
      {"/DEV/TTYS0", 1}, // serial pattern ignores case
      {"/dev/ttys0", 1},
      {"/x/dev/ttyS9/y", 1},
      {"/dev/usb/lp7", 1},
      {"/dev/usb/lp0/dev/bus/usb/001/002", 1}, // the line printer wins over USB
      {"/dev/bus/usb/", 2},
      {"/dev/USB/lp0", 0}, // line-printer pattern respects case
      {"/dev/BUS/usb/001/002", 0},
  };
  for (const auto &r : rows) {
    communication = 0;
    const intptr_t h = open_path(std::string(dir.path()) + "/missing" + r.path);
    EXPECT_EQ(communication, r.mode) << r.path;
    EXPECT_LT(h, 0) << r.path << " does not exist";
  }
}

TEST_F(Classification, MissingDeviceFileGivesMinusOneAndModeOne) {
  EXPECT_EQ(open_path(dir.path() + "/dev/usb/lp9"), -1);
  EXPECT_EQ(communication, 1);
}

TEST_F(Classification, DeviceFileBranchLeavesThePathUntouched) {
  std::string path = lp0;
  const intptr_t h = Q48_api_printer_open(path.data());
  ASSERT_GE(h, 0);
  EXPECT_EQ(std::strlen(path.c_str()), lp0.size());
  EXPECT_EQ(path, lp0);
  Q48_api_printer_close(h);
}

TEST_F(Classification, CloseEndsTheDescriptorAndKeepsTheMode) {
  const intptr_t h = open_path(lp0);
  ASSERT_GE(h, 0);
  Q48_api_printer_close(h);
  EXPECT_EQ(fcntl(static_cast<int>(h), F_GETFD), -1) << "descriptor still open";
  EXPECT_EQ(communication, 1);
  Q48_api_printer_close(-1); // does nothing
  EXPECT_EQ(communication, 1);
}

TEST(LibraryInformation, IsOneConstantString) {
  const char *first = Q48_api_get_library_info();
  EXPECT_STREQ(first, "Mirelvank - libQ48Api - R3-V1.03a - S507312");
  char path[] = "/nonexistent/dev/usb/lp0";
  (void)Q48_api_printer_open(path);
  EXPECT_EQ(Q48_api_get_library_info(), first);
}

} // namespace
