// The emulated printer, driven through the real libusb-1.0 exactly as the
// library's USB transport drives it. If one of these fails, the USB suite's
// results mean nothing.
#include "q48_emulated_printer.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

class EmulatedPrinter : public ::testing::Test {
protected:
  void SetUp() override { q48_emu_config_default(&cfg_); }

  // The testbed is made here, not in SetUp, so that a test can change the
  // configuration first, and so that listing the tests needs no preload.
  void plug_in() {
    emu_ = q48_emu_new(&cfg_);
    ASSERT_NE(emu_, nullptr);
    ASSERT_EQ(libusb_init(&ctx_), 0);
  }

  void TearDown() override {
    if (handle_ != nullptr) {
      libusb_close(handle_);
    }
    if (ctx_ != nullptr) {
      libusb_exit(ctx_);
    }
    q48_emu_free(emu_);
  }

  libusb_device *find(int bus, int address) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &list);
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < n; i++) {
      if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
        found = libusb_ref_device(list[i]);
      }
    }
    if (n >= 0) {
      libusb_free_device_list(list, 1);
    }
    return found;
  }

  void open_printer() {
    libusb_device *dev = find(1, 11);
    ASSERT_NE(dev, nullptr);
    int rc = libusb_open(dev, &handle_);
    libusb_unref_device(dev);
    ASSERT_EQ(rc, 0);
  }

  void open_and_claim() {
    ASSERT_NO_FATAL_FAILURE(open_printer());
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
  }

  int bulk(unsigned char ep, unsigned char *buf, int len, int *transferred,
           unsigned timeout_ms = 100) {
    *transferred = -1;
    return libusb_bulk_transfer(handle_, ep, buf, len, transferred, timeout_ms);
  }

  std::vector<unsigned char> received() {
    std::vector<unsigned char> out(q48_emu_received(emu_, nullptr, 0));
    q48_emu_received(emu_, out.data(), out.size());
    return out;
  }

  q48_emu_stats stats() {
    q48_emu_stats s;
    q48_emu_get_stats(emu_, &s);
    return s;
  }

  q48_emu_config cfg_{};
  q48_emu *emu_ = nullptr;
  libusb_context *ctx_ = nullptr;
  libusb_device_handle *handle_ = nullptr;
};

// ---- enumeration and descriptors ----------------------------------------

TEST_F(EmulatedPrinter, EnumeratesAtBusAndAddressWithItsIdentity) {
  cfg_.product_id = 0x0042;
  ASSERT_NO_FATAL_FAILURE(plug_in());
  EXPECT_STREQ(q48_emu_device_path(emu_), "/dev/bus/usb/001/011");
  EXPECT_EQ(find(1, 12), nullptr);
  libusb_device *dev = find(1, 11);
  ASSERT_NE(dev, nullptr);
  libusb_device_descriptor dd{};
  EXPECT_EQ(libusb_get_device_descriptor(dev, &dd), 0);
  EXPECT_EQ(dd.idVendor, 0x2F7A);
  EXPECT_EQ(dd.idProduct, 0x0042);
  EXPECT_EQ(dd.bNumConfigurations, 1);
  libusb_unref_device(dev);
}

TEST_F(EmulatedPrinter, ConfiguredPrinterReportsConfigurationOne) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_printer());
  int config = -1;
  EXPECT_EQ(libusb_get_configuration(handle_, &config), 0);
  EXPECT_EQ(config, 1);
}

TEST_F(EmulatedPrinter, UnconfiguredPrinterHasNoActiveDescriptorUntilConfigured) {
  cfg_.configured = 0;
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_printer());
  int config = -1;
  libusb_get_configuration(handle_, &config);
  EXPECT_EQ(config, 0);
  libusb_config_descriptor *cd = nullptr;
  EXPECT_NE(libusb_get_active_config_descriptor(libusb_get_device(handle_), &cd), 0);

  EXPECT_EQ(libusb_set_configuration(handle_, 1), 0);
  libusb_get_configuration(handle_, &config);
  EXPECT_EQ(config, 1);
  ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle_), &cd), 0);
  EXPECT_EQ(cd->bConfigurationValue, 1);
  libusb_free_config_descriptor(cd);
  EXPECT_EQ(stats().set_configuration, 1);
}

struct LayoutCase {
  const char *name;
  int num_altsettings;
  int num_endpoints;
  uint16_t max_packet_size;
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }

class EmulatedPrinterLayout : public EmulatedPrinter,
                              public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(EmulatedPrinterLayout, ActiveDescriptorShowsTheConfiguredInterface) {
  const LayoutCase &c = GetParam();
  cfg_.num_altsettings = c.num_altsettings;
  cfg_.num_endpoints = c.num_endpoints;
  cfg_.max_packet_size = c.max_packet_size;
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_printer());
  libusb_config_descriptor *cd = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle_), &cd), 0);
  ASSERT_NE(cd->interface, nullptr);
  const libusb_interface &itf = cd->interface[0];
  EXPECT_EQ(itf.num_altsetting, c.num_altsettings);
  for (int a = 0; a < itf.num_altsetting; a++) {
    const libusb_interface_descriptor &alt = itf.altsetting[a];
    EXPECT_EQ(alt.bInterfaceNumber, 0);
    EXPECT_EQ(alt.bAlternateSetting, a);
    ASSERT_EQ(alt.bNumEndpoints, c.num_endpoints);
    const uint8_t addresses[] = {0x81, 0x02};
    for (int e = 0; e < alt.bNumEndpoints; e++) {
      EXPECT_EQ(alt.endpoint[e].bEndpointAddress, addresses[e]);
      EXPECT_EQ(alt.endpoint[e].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
      EXPECT_EQ(alt.endpoint[e].wMaxPacketSize, c.max_packet_size);
      EXPECT_EQ(alt.endpoint[e].bLength, 7);
      EXPECT_EQ(alt.endpoint[e].bDescriptorType, LIBUSB_DT_ENDPOINT);
    }
  }
  libusb_free_config_descriptor(cd);
}

INSTANTIATE_TEST_SUITE_P(Layouts, EmulatedPrinterLayout,
                         ::testing::Values(LayoutCase{"InAndOut", 1, 2, 64},
                                           LayoutCase{"InOnly", 1, 1, 64},
                                           LayoutCase{"NoAlternateSetting", 0, 2, 64},
                                           LayoutCase{"TwoAlternateSettings", 2, 2, 512}),
                         [](const auto &test_case) { return std::string(test_case.param.name); });

// ---- kernel driver and claim ---------------------------------------------

TEST_F(EmulatedPrinter, BoundKernelDriverBlocksClaimUntilDetached) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  q48_emu_set_kernel_driver(emu_, 1, 0);
  ASSERT_NO_FATAL_FAILURE(open_printer());
  EXPECT_EQ(libusb_kernel_driver_active(handle_, 0), 1);
  EXPECT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_detach_kernel_driver(handle_, 0), 0);
  EXPECT_EQ(libusb_kernel_driver_active(handle_, 0), 0);
  EXPECT_EQ(libusb_claim_interface(handle_, 0), 0);
  q48_emu_stats s = stats();
  EXPECT_EQ(s.driver_bound, 0);
  EXPECT_EQ(s.detach_attempts, 1);
  EXPECT_EQ(s.claimed, 1);
}

TEST_F(EmulatedPrinter, FailingDetachLeavesTheDriverBound) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  q48_emu_set_kernel_driver(emu_, 1, 1);
  ASSERT_NO_FATAL_FAILURE(open_printer());
  EXPECT_LT(libusb_detach_kernel_driver(handle_, 0), 0);
  EXPECT_EQ(libusb_kernel_driver_active(handle_, 0), 1);
  EXPECT_EQ(stats().driver_bound, 1);
}

TEST_F(EmulatedPrinter, NoDriverMeansNothingToDetach) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_printer());
  EXPECT_EQ(libusb_kernel_driver_active(handle_, 0), 0);
  EXPECT_EQ(libusb_detach_kernel_driver(handle_, 0), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(EmulatedPrinter, BusyClaimFailsExactlyTheGivenNumberOfTimes) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  q48_emu_set_claim_busy(emu_, 3);
  ASSERT_NO_FATAL_FAILURE(open_printer());
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_ERROR_BUSY) << "attempt " << i;
  }
  EXPECT_EQ(libusb_claim_interface(handle_, 0), 0);
  EXPECT_EQ(libusb_release_interface(handle_, 0), 0);
  q48_emu_stats s = stats();
  EXPECT_EQ(s.claim_attempts, 4);
  EXPECT_EQ(s.releases, 1);
  EXPECT_EQ(s.claimed, 0);
}

// ---- bulk OUT --------------------------------------------------------------

TEST_F(EmulatedPrinter, AcceptedWriteArrivesWhole) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  std::vector<unsigned char> job(1000);
  for (size_t i = 0; i < job.size(); i++) {
    job[i] = static_cast<unsigned char>(i * 7);
  }
  int transferred = 0;
  EXPECT_EQ(bulk(0x02, job.data(), static_cast<int>(job.size()), &transferred), 0);
  EXPECT_EQ(transferred, 1000);
  EXPECT_EQ(received(), job);
  EXPECT_EQ(stats().out_urbs, 1);
}

struct PartialCase {
  const char *name;
  q48_emu_out_mode mode;
  int expected_rc;
  int expected_transferred; // what libusb reports; the printer holds 3 bytes in all cases
};

void PrintTo(const PartialCase &c, std::ostream *os) { *os << c.name; }

class EmulatedPrinterPartialWrite : public EmulatedPrinter,
                                    public ::testing::WithParamInterface<PartialCase> {};

TEST_P(EmulatedPrinterPartialWrite, CutShortWriteKeepsTheAcceptedPart) {
  const PartialCase &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  q48_emu_set_out_behaviour(emu_, 3, c.mode);
  unsigned char job[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  int transferred = 0;
  auto t0 = Clock::now();
  EXPECT_EQ(bulk(0x02, job, 10, &transferred), c.expected_rc);
  EXPECT_LT(ms_since(t0), 3000);
  EXPECT_EQ(transferred, c.expected_transferred);
  EXPECT_EQ(received(), (std::vector<unsigned char>{1, 2, 3}));
}

// libusb reports the accepted part whether the URB ended short, stalled or
// timed out; the library under test sees exactly these numbers.
INSTANTIATE_TEST_SUITE_P(
    Modes, EmulatedPrinterPartialWrite,
    ::testing::Values(PartialCase{"ShortCompletion", Q48_EMU_OUT_ACCEPT, 0, 3},
                      PartialCase{"Stall", Q48_EMU_OUT_STALL, LIBUSB_ERROR_PIPE, 3},
                      PartialCase{"TimeOut", Q48_EMU_OUT_TIMEOUT, LIBUSB_ERROR_TIMEOUT, 3}),
    [](const auto &test_case) { return std::string(test_case.param.name); });

TEST_F(EmulatedPrinter, WriteThatAcceptsNothingTimesOutAfterTheTransferTimeOut) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  q48_emu_set_out_behaviour(emu_, 0, Q48_EMU_OUT_TIMEOUT);
  unsigned char job[4] = {9, 9, 9, 9};
  int transferred = -1;
  auto t0 = Clock::now();
  EXPECT_EQ(bulk(0x02, job, 4, &transferred), LIBUSB_ERROR_TIMEOUT);
  long long elapsed = ms_since(t0);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(transferred, 0);
  EXPECT_TRUE(received().empty());
  // The next transfer is served normally again.
  q48_emu_set_out_behaviour(emu_, SIZE_MAX, Q48_EMU_OUT_ACCEPT);
  EXPECT_EQ(bulk(0x02, job, 4, &transferred), 0);
  EXPECT_EQ(transferred, 4);
}

// ---- bulk IN ----------------------------------------------------------------

TEST_F(EmulatedPrinter, LongAnswerIsSplitOverPackets) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  std::vector<unsigned char> answer(100);
  for (size_t i = 0; i < answer.size(); i++) {
    answer[i] = static_cast<unsigned char>(0xA0 + i);
  }
  q48_emu_queue_answer(emu_, answer.data(), answer.size());
  EXPECT_EQ(q48_emu_pending_answer_bytes(emu_), 100u);
  std::array<unsigned char, 64> buf{};
  int transferred = 0;
  ASSERT_EQ(bulk(0x81, buf.data(), 64, &transferred), 0);
  ASSERT_EQ(transferred, 64);
  EXPECT_EQ(0, std::memcmp(buf.data(), answer.data(), 64));
  EXPECT_EQ(q48_emu_pending_answer_bytes(emu_), 36u);
  ASSERT_EQ(bulk(0x81, buf.data(), 64, &transferred), 0);
  ASSERT_EQ(transferred, 36);
  EXPECT_EQ(0, std::memcmp(buf.data(), answer.data() + 64, 36));
  EXPECT_EQ(q48_emu_pending_answer_bytes(emu_), 0u);
}

TEST_F(EmulatedPrinter, SeparateAnswersAreNeverMergedIntoOnePacket) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  q48_emu_queue_answer(emu_, "abc", 3);
  q48_emu_queue_answer(emu_, "defg", 4);
  std::array<unsigned char, 64> buf{};
  int transferred = 0;
  ASSERT_EQ(bulk(0x81, buf.data(), 64, &transferred), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data()), transferred), "abc");
  ASSERT_EQ(bulk(0x81, buf.data(), 64, &transferred), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data()), transferred), "defg");
  EXPECT_EQ(stats().in_urbs, 2);
}

TEST_F(EmulatedPrinter, SilentPrinterTimesOutAfterTheTransferTimeOut) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  std::array<unsigned char, 64> buf{};
  int transferred = -1;
  auto t0 = Clock::now();
  EXPECT_EQ(bulk(0x81, buf.data(), 64, &transferred), LIBUSB_ERROR_TIMEOUT);
  long long elapsed = ms_since(t0);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(transferred, 0);
  // An answer after the time-out goes to the next transfer, not the old one.
  q48_emu_queue_answer(emu_, "\x06", 1);
  ASSERT_EQ(bulk(0x81, buf.data(), 64, &transferred), 0);
  EXPECT_EQ(transferred, 1);
  EXPECT_EQ(buf[0], 0x06);
}

TEST_F(EmulatedPrinter, AnswerQueuedDuringAPendingReadCompletesIt) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  std::thread printer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    q48_emu_queue_answer(emu_, "OK", 2);
  });
  std::array<unsigned char, 64> buf{};
  int transferred = 0;
  int rc = bulk(0x81, buf.data(), 64, &transferred, 5000);
  printer.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(transferred, 2);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data()), 2), "OK");
}

// ---- unplug -------------------------------------------------------------------

TEST_F(EmulatedPrinter, UnplugEndsAPendingReadWithNoDevice) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  std::thread unplug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    q48_emu_unplug(emu_);
  });
  std::array<unsigned char, 64> buf{};
  int transferred = -1;
  auto t0 = Clock::now();
  int rc = bulk(0x81, buf.data(), 64, &transferred, 5000);
  unplug.join();
  EXPECT_EQ(rc, LIBUSB_ERROR_NO_DEVICE);
  EXPECT_LT(ms_since(t0), 3000);
  EXPECT_EQ(transferred, 0);
}

TEST_F(EmulatedPrinter, UnpluggedPrinterRefusesEveryRequest) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  q48_emu_unplug(emu_);
  unsigned char byte = 0x0C;
  int transferred = -1;
  auto t0 = Clock::now();
  EXPECT_EQ(bulk(0x02, &byte, 1, &transferred), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(bulk(0x81, &byte, 1, &transferred), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_release_interface(handle_, 0), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_kernel_driver_active(handle_, 0), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_set_configuration(handle_, 1), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_LT(ms_since(t0), 3000);
  EXPECT_TRUE(received().empty());
}

// A replug, as a running process meets it: the old handle is dead, a new
// libusb context finds the printer at its new address only, and the paper
// holds what both connections sent. An address that comes round again works.
TEST_F(EmulatedPrinter, ReplugComesBackAtANewAddressForAProcessThatKeepsRunning) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  unsigned char byte = 'A';
  int transferred = 0;
  ASSERT_EQ(bulk(0x02, &byte, 1, &transferred), 0);
  for (const int devnum : {0, 12, 11}) {
    SCOPED_TRACE(devnum);
    ASSERT_EQ(q48_emu_replug(emu_, devnum), 1);
    if (handle_ != nullptr) {
      EXPECT_EQ(bulk(0x02, &byte, 1, &transferred), LIBUSB_ERROR_NO_DEVICE);
      libusb_close(handle_);
      handle_ = nullptr;
    }
    libusb_exit(ctx_);
    ASSERT_EQ(libusb_init(&ctx_), 0);
    for (const int address : {11, 12}) {
      libusb_device *dev = find(1, address);
      EXPECT_EQ(dev != nullptr, address == devnum);
      if (dev != nullptr) {
        ASSERT_EQ(libusb_open(dev, &handle_), 0);
        libusb_unref_device(dev);
        ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
      }
    }
    if (handle_ != nullptr) {
      byte++;
      ASSERT_EQ(bulk(0x02, &byte, 1, &transferred), 0);
    }
  }
  EXPECT_EQ(std::string(q48_emu_device_path(emu_)), "/dev/bus/usb/001/011");
  EXPECT_EQ(received(), (std::vector<unsigned char>{'A', 'B', 'C'}));
  EXPECT_EQ(q48_emu_replug(emu_, 1000), 0);
}

// ---- open and close -------------------------------------------------------------

TEST_F(EmulatedPrinter, ReopenAfterCloseStartsFromAFreshConnection) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  unsigned char buf[64];
  int transferred = 0;
  EXPECT_EQ(bulk(0x81, buf, 64, &transferred), LIBUSB_ERROR_TIMEOUT);
  // Closed without releasing, as a crashed client would.
  libusb_close(handle_);
  handle_ = nullptr;
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  q48_emu_stats s = stats();
  EXPECT_EQ(s.opens, 2);
  EXPECT_EQ(s.claimed, 1);
  EXPECT_EQ(s.claim_attempts, 2);
  q48_emu_queue_answer(emu_, "Z", 1);
  ASSERT_EQ(bulk(0x81, buf, 64, &transferred), 0);
  EXPECT_EQ(transferred, 1);
}

TEST_F(EmulatedPrinter, ClearedRecordForgetsEarlierJobs) {
  ASSERT_NO_FATAL_FAILURE(plug_in());
  ASSERT_NO_FATAL_FAILURE(open_and_claim());
  unsigned char job[2] = {0x1B, 0x40};
  int transferred = 0;
  ASSERT_EQ(bulk(0x02, job, 2, &transferred), 0);
  q48_emu_clear_received(emu_);
  job[0] = 0x0C;
  ASSERT_EQ(bulk(0x02, job, 1, &transferred), 0);
  EXPECT_EQ(received(), (std::vector<unsigned char>{0x0C}));
}

} // namespace
