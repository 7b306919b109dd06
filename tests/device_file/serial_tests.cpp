// Serial line settings, read back from a real pseudo-terminal, which keeps
// the input flags, the control flags with flow control and speed, VTIME and
// VMIN exactly as they were applied.

#include "device_tree.h"

#include <termios.h>

namespace {

using SerialSettings = DeviceTree;

struct termios settings_of(intptr_t fd) {
  struct termios t {};
  EXPECT_EQ(tcgetattr(static_cast<int>(fd), &t), 0);
  return t;
}

TEST_F(SerialSettings, OpeningASerialPortAppliesTheDefaults) {
  const intptr_t h = open_path(ttyS0);
  ASSERT_GE(h, 0);
  const struct termios t = settings_of(h);
  EXPECT_EQ(t.c_cflag, 0x800018B2u) << "115200 8N1, hardware flow control";
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_cc[VTIME], 1);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  Q48_api_printer_close(h);
}

TEST_F(SerialSettings, LinePrinterNodeGetsNoTerminalSettings) {
  // A line-printer path that happens to be a terminal keeps its settings.
  const std::string lp1 = dir.make_parents("dev/usb/lp1");
  ASSERT_EQ(symlink(ttyname(pty_slave_keep), lp1.c_str()), 0);
  const struct termios before = settings_of(pty_slave_keep);
  const intptr_t h = open_path(lp1);
  ASSERT_GE(h, 0);
  const struct termios after = settings_of(h);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  Q48_api_printer_close(h);
}

TEST_F(SerialSettings, EachArgumentMapsToItsControlBits) {
  struct row {
    unsigned long baud;
    unsigned char data_bits, parity, stop_bits;
    tcflag_t cflag;
  };
  const tcflag_t base = CRTSCTS | CLOCAL | CREAD | CS8;
  const row rows[] = {
      {2400, 8, 'n', 1, base | B2400},
      {4800, 8, 'n', 1, base | B4800},
      {9600, 8, 'n', 1, base | B9600},
      {19200, 8, 'n', 1, base | B19200},
      {38400, 8, 'n', 1, base | B38400},
      {57600, 8, 'n', 1, base | B57600},
      {115200, 8, 'n', 1, base | B115200},
      {1200, 8, 'n', 1, base | B115200}, // unknown speeds fall back to 115200
      {0, 8, 'n', 1, base | B115200},
      {9600, 7, 'n', 1, base | B9600}, // always 8 data bits
      {9600, 8, 'O', 1, base | B9600 | PARENB | PARODD},
      {9600, 8, 'o', 1, base | B9600 | PARENB | PARODD},
      {9600, 8, 'E', 1, base | B9600 | PARENB},
      {9600, 8, 'e', 1, base | B9600 | PARENB},
      {9600, 8, 'N', 1, base | B9600},
      {9600, 8, 'x', 1, base | B9600},
      {9600, 8, 'n', 2, base | B9600 | CSTOPB},
      {9600, 8, 'n', 0, base | B9600},
      {9600, 8, 'n', 3, base | B9600},
  };
  const intptr_t h = open_path(ttyS0);
  ASSERT_GE(h, 0);
  for (const auto &r : rows) {
    // Each row starts from settings it changes: a pty drops parity, and a
    // request of which nothing could be applied counts as refused.
    ASSERT_EQ(Q48_api_printer_set_serial(h, 4800, 8, 'n', 2), 1);
    EXPECT_EQ(Q48_api_printer_set_serial(h, r.baud, r.data_bits, r.parity, r.stop_bits), 1);
    // A Linux pty always clears PARENB (it has no parity to check), so
    // parity shows only through PARODD here; every other bit is kept.
    EXPECT_EQ(settings_of(h).c_cflag & ~tcflag_t{PARENB}, r.cflag & ~tcflag_t{PARENB})
        << r.baud << " " << int(r.data_bits) << r.parity << int(r.stop_bits);
  }
  Q48_api_printer_close(h);
}

TEST_F(SerialSettings, OutsideTheDeviceFileModeNothingIsTouched) {
  EXPECT_EQ(Q48_api_printer_set_serial(-1, 9600, 8, 'n', 1), 0);
  const struct termios before = settings_of(pty_slave_keep);
  for (int mode : {0, 2, 7}) {
    communication = mode;
    EXPECT_EQ(Q48_api_printer_set_serial(pty_slave_keep, 9600, 8, 'e', 2), 1);
    EXPECT_EQ(settings_of(pty_slave_keep).c_cflag, before.c_cflag) << "mode " << mode;
  }
}

TEST_F(SerialSettings, SettingsThatTheDeviceRefusesAreReported) {
  // A FIFO behind a serial path takes no terminal settings; open still
  // hands out its descriptor.
  const std::string ttyS1 = dir.make_parents("dev/ttyS1");
  ASSERT_EQ(mkfifo(ttyS1.c_str(), 0600), 0);
  const int keep = ::open(ttyS1.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const intptr_t h = open_path(ttyS1);
  ASSERT_GE(h, 0);
  EXPECT_EQ(Q48_api_printer_set_serial(h, 9600, 8, 'n', 1), 0);
  Q48_api_printer_close(h);
  EXPECT_EQ(Q48_api_printer_set_serial(h, 9600, 8, 'n', 1), 0) << "a closed descriptor";
  ::close(keep);
}

TEST_F(SerialSettings, PendingInputIsDiscardedAndSettingsOutliveClose) {
  const intptr_t h = open_path(ttyS0);
  ASSERT_GE(h, 0);
  ASSERT_EQ(::write(pty_master, "stale", 5), 5);
  usleep(20000);
  EXPECT_EQ(Q48_api_printer_set_serial(h, 19200, 8, 'n', 1), 1);
  unsigned char buf[8];
  EXPECT_EQ(Q48_api_printer_read(h, buf, sizeof buf, 0), 0);
  Q48_api_printer_close(h);
  EXPECT_EQ(settings_of(pty_slave_keep).c_cflag & CBAUD, static_cast<tcflag_t>(B19200));
}

} // namespace
