// A test with the emulated printer plugged in, and the library opened on it
// through the real libusb.
#ifndef Q48_USB_FIXTURE_H
#define Q48_USB_FIXTURE_H

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "Q48_Api.h"
#include "q48_emulated_printer.h"
#include "q48_test_util.h"

namespace q48usbtest {

class UsbPrinter : public ::testing::Test {
protected:
  UsbPrinter() { q48_emu_config_default(&cfg); }
  ~UsbPrinter() override {
    // Whatever a case opened is ended before its printer goes away, also
    // when the case failed half-way: a connection left open would make the
    // next open talk to a printer that no longer serves it, and wait for
    // ever.
    for (const intptr_t h : opened) {
      Q48_api_printer_close(h);
    }
    if (emu != nullptr) {
      q48_emu_free(emu);
    }
    DEBUG_MESSAGES = 0;
  }

  // Plugs the printer in as `cfg` describes it.
  void plug_in() {
    emu = q48_emu_new(&cfg);
    ASSERT_NE(emu, nullptr);
    fds_before = open_fds();
  }

  // Opens `path` (the printer's node when empty) and returns the result.
  intptr_t open_path(const char *path = nullptr) {
    std::array<char, 128> copy{};
    std::strncpy(copy.data(), path != nullptr ? path : q48_emu_device_path(emu), copy.size() - 1);
    const intptr_t result = Q48_api_printer_open(copy.data());
    if (result >= 0) {
      opened.push_back(result);
    }
    return result;
  }

  // Plugs in and opens; the handle is closed at the end of the test.
  void connect() {
    plug_in();
    handle = open_path();
    ASSERT_GE(handle, 0);
  }

  q48_emu_stats stats() {
    q48_emu_stats s{};
    q48_emu_get_stats(emu, &s);
    return s;
  }

  std::vector<unsigned char> received() {
    unsigned char probe = 0;
    std::vector<unsigned char> v(q48_emu_received(emu, &probe, 1) + 1);
    v.resize(q48_emu_received(emu, v.data(), v.size()));
    return v;
  }

  static std::vector<unsigned char> bytes(size_t n, unsigned seed = 1) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) {
      v[i] = static_cast<unsigned char>(i * 13 + seed);
    }
    return v;
  }

  // What `f` prints to standard output. Test failures are reported there
  // too, so nothing is asserted while it is captured.
  template <typename F> static std::string printed(F f) {
    q48test::stdout_capture out;
    f();
    return out.take();
  }

  // The descriptors of the process and what they lead to. An eventfd is left
  // out: umockdev's worker thread now and then keeps one of its own for a
  // while after a client has gone. The library's are not missed by that:
  // libusb's context holds a timerfd and a netlink socket beside its
  // eventfds, and a device handle holds the node and its socket.
  static std::string open_fds() {
    std::string text;
    for (int fd = 0; fd < 1024; ++fd) {
      std::array<char, 256> target{};
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      if (readlink(link.c_str(), target.data(), target.size() - 1) > 0 &&
          std::string(target.data()) != "anon_inode:[eventfd]") {
        text += std::to_string(fd) + " -> " + target.data() + "\n";
      }
    }
    return text;
  }

  // The printer serves the node from its own thread, which lets go of its
  // side of a connection a little after the library has closed it.
  static std::string settled_fds(const std::string &expected) {
    std::string now = open_fds();
    for (int i = 0; i < 100 && now != expected; ++i) {
      usleep(10 * 1000);
      now = open_fds();
    }
    return now;
  }

  // Nothing of an ended connection stays behind: no claim, no descriptor,
  // no ring.
  void expect_nothing_left() {
    EXPECT_EQ(stats().claimed, 0);
    EXPECT_EQ(settled_fds(fds_before), fds_before);
    EXPECT_EQ(m_pub_rx_buffer, nullptr);
  }

  q48_emu_config cfg{};
  q48_emu *emu = nullptr;
  intptr_t handle = -1;
  std::vector<intptr_t> opened; // every handle an open gave out, ended or not
  std::string fds_before;
};

} // namespace q48usbtest

#endif
