// The USB transport through the real libusb against the emulated printer:
// discovery and claim, clean-up after every failure, bulk writes, reads
// through the receive ring, clear, and an unplugged printer.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <thread>

#include "usb_fixture.h"

namespace q48usbtest {
namespace {

using q48test::now_ms;

// ---- Open: the codes, and what each failure leaves behind ---------------

struct open_failure {
  const char *name;
  void (*arrange)(q48_emu_config &cfg);
  void (*arrange_printer)(q48_emu *emu);
  const char *path; // nullptr: the printer's own node
  intptr_t code;
};

void no_change(q48_emu_config &) {}
void no_printer_change(q48_emu *) {}

void PrintTo(const open_failure &c, std::ostream *os) { *os << c.name; }

class OpenFailure : public UsbPrinter, public ::testing::WithParamInterface<open_failure> {};

TEST_P(OpenFailure, ReturnsItsCodeAndLeavesNothingOpenOrClaimed) {
  const open_failure &c = GetParam();
  c.arrange(cfg);
  plug_in();
  c.arrange_printer(emu);
  EXPECT_EQ(open_path(c.path), c.code);
  EXPECT_EQ(communication, 2);
  expect_nothing_left();
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OpenFailure,
    ::testing::Values(open_failure{"PathWithoutDeviceToken", no_change, no_printer_change,
                                   "/dev/bus/usb/001", Q48_API_NO_PRINTER},
                      open_failure{"NoDeviceAtThatAddress", no_change, no_printer_change,
                                   "/dev/bus/usb/001/012", Q48_API_NO_PRINTER},
                      open_failure{"ComponentInFrontShiftsTheTokens", no_change, no_printer_change,
                                   "/x/dev/bus/usb/001/011", Q48_API_NO_PRINTER},
                      open_failure{"AnotherVendor", [](q48_emu_config &c) { c.vendor_id = 0x1234; },
                                   no_printer_change, nullptr, Q48_API_NO_PRINTER},
                      open_failure{"AnotherProduct", [](q48_emu_config &c) { c.product_id = 2; },
                                   no_printer_change, nullptr, Q48_API_NO_PRINTER},
                      open_failure{"KernelDriverWillNotLetGo", no_change,
                                   [](q48_emu *e) { q48_emu_set_kernel_driver(e, 1, 1); }, nullptr,
                                   Q48_API_DETACH_FAILED},
                      open_failure{"InterfaceWithoutAlternateSetting",
                                   [](q48_emu_config &c) { c.num_altsettings = 0; },
                                   no_printer_change, nullptr, Q48_API_NO_ALTSETTING},
                      open_failure{"SingleEndpoint", [](q48_emu_config &c) { c.num_endpoints = 1; },
                                   no_printer_change, nullptr, Q48_API_TOO_FEW_ENDPOINTS},
                      // Still listed, gone by the claim: not "busy for a second".
                      open_failure{"UnpluggedBeforeTheClaim", no_change, q48_emu_unplug, nullptr,
                                   Q48_API_OPEN_FAILED}),
    [](const ::testing::TestParamInfo<open_failure> &param_info) { return param_info.param.name; });

TEST_F(UsbPrinter, PathsWithLeadingZerosOrATrailingSlashFindTheSamePrinter) {
  plug_in();
  for (const char *path : {"/dev/bus/usb/1/11", "/dev/bus/usb/001/011/", "/dev/bus/usb/001/11"}) {
    const intptr_t h = open_path(path);
    EXPECT_GE(h, 0) << path;
    Q48_api_printer_close(h);
  }
  expect_nothing_left();
}

TEST_F(UsbPrinter, SingleEndpointIsReportedAfterItsCountLine) {
  cfg.num_endpoints = 1;
  plug_in();
  DEBUG_MESSAGES = 1;
  intptr_t result = 0;
  const std::string text = printed([&] { result = open_path(); });
  EXPECT_EQ(result, Q48_API_TOO_FEW_ENDPOINTS);
  EXPECT_EQ(text, " Configuration = 1\n Endpoints count = 1\n");
}

// ---- Claim loop ----------------------------------------------------------

TEST_F(UsbPrinter, BusyInterfaceTimesOutAfterAboutTenAttemptsInOneSecond) {
  plug_in();
  q48_emu_set_claim_busy(emu, 1000);
  DEBUG_MESSAGES = 1;
  intptr_t result = 0;
  const double start = now_ms();
  const std::string text = printed([&] { result = open_path(); });
  const double took = now_ms() - start;
  EXPECT_EQ(result, Q48_API_CLAIM_TIMEOUT);
  EXPECT_GE(took, 950);
  EXPECT_LT(took, 2500);
  const int attempts = stats().claim_attempts;
  EXPECT_GE(attempts, 8);
  EXPECT_LE(attempts, 12);
  // One line per failed attempt.
  size_t lines = 0;
  for (size_t at = text.find(" DETACH error = "); at != std::string::npos;
       at = text.find(" DETACH error = ", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(attempts));
  q48_emu_set_claim_busy(emu, 0);
  expect_nothing_left();
}

TEST_F(UsbPrinter, InterfaceBusyForAWhileIsClaimedOnALaterAttempt) {
  plug_in();
  q48_emu_set_claim_busy(emu, 3);
  handle = open_path();
  EXPECT_GE(handle, 0);
  EXPECT_EQ(stats().claim_attempts, 4);
  EXPECT_EQ(stats().claimed, 1);
}

TEST_F(UsbPrinter, KernelDriverIsDetachedAndStaysDetachedAfterClose) {
  plug_in();
  q48_emu_set_kernel_driver(emu, 1, 0);
  handle = open_path();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(stats().driver_bound, 0);
  EXPECT_GE(stats().detach_attempts, 1);
  EXPECT_EQ(stats().claimed, 1);
  Q48_api_printer_close(handle);
  handle = -1;
  EXPECT_EQ(stats().driver_bound, 0);
}

// ---- A successful open ---------------------------------------------------

TEST_F(UsbPrinter, GlobalsDescribeTheOpenedDevice) {
  cfg.in_endpoint = 0x83;
  cfg.out_endpoint = 0x05;
  cfg.max_packet_size = 32;
  plug_in();
  Q48_API_INTERFACE = 7;
  handle = open_path();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(communication, 2);
  EXPECT_EQ(Q48_API_INTERFACE, 0);
  EXPECT_EQ(Q48_API_ACCESS_READ, 0x83);
  EXPECT_EQ(Q48_API_ACCESS_WRITE, 0x05);
  EXPECT_EQ(Q48_API_ACCESS_READ_ENDPOINT_SIZE, 32);
  ASSERT_NE(m_pub_rx_buffer, nullptr);
  EXPECT_EQ(m_index_rx_top, 0);
  EXPECT_EQ(m_index_rx_bottom, 0);
  EXPECT_EQ(stats().claimed, 1);
}

TEST_F(UsbPrinter, ConfigurationOneIsSelectedOnlyWhenNotActive) {
  cfg.configured = 0;
  plug_in();
  handle = open_path();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(stats().set_configuration, 1);
  Q48_api_printer_close(handle);
  handle = open_path();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(stats().set_configuration, 1);
}

TEST_F(UsbPrinter, SuccessfulOpenPrintsItsProtocolExactly) {
  plug_in();
  DEBUG_MESSAGES = 1;
  const std::string text = printed([&] { handle = open_path(); });
  ASSERT_GE(handle, 0);
  EXPECT_EQ(text, " Configuration = 1\n"
                  " Endpoints count = 2\n"
                  " Endpoints Descriptor - Endpoint address = 81\n"
                  " Endpoints Descriptor - Size Endpoint = 7\n"
                  " Endpoints Descriptor - Type  descriptor= 5\n"
                  " Endpoints Descriptor - Max packet size = 64\n"
                  " ************************************* \n\n"
                  " Endpoints Descriptor - Endpoint address = 02\n"
                  " Endpoints Descriptor - Size Endpoint = 7\n"
                  " Endpoints Descriptor - Type  descriptor= 5\n"
                  " Endpoints Descriptor - Max packet size = 64\n"
                  " ************************************* \n\n"
                  " Endpoint READ = 0x81\n"
                  " Endpoint WRITE= 0x02\n"
                  " Vendor OK \n");
}

TEST_F(UsbPrinter, OpenPrintsNothingUnlessDebugIsExactlyOne) {
  plug_in();
  DEBUG_MESSAGES = 2;
  unsigned char b = 0x0C;
  int written = 0;
  const std::string text = printed([&] {
    handle = open_path();
    written = Q48_api_printer_write(handle, &b, 1, 500);
    (void)Q48_api_printer_read(handle, &b, 1, 0);
    (void)Q48_api_printer_clear(handle);
  });
  EXPECT_GE(handle, 0);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(text, "");
}

// ---- Connections, in any order of opens and closes -----------------------

TEST_F(UsbPrinter, OpenCloseOpenAgainSucceedsAndCloseReleasesEverything) {
  plug_in();
  for (int round = 0; round < 3; ++round) {
    handle = open_path();
    ASSERT_GE(handle, 0) << round;
    EXPECT_EQ(stats().claimed, 1);
    Q48_api_printer_close(handle);
    handle = -1;
    EXPECT_EQ(m_index_rx_top, 0);
    EXPECT_EQ(m_index_rx_bottom, 0);
    expect_nothing_left();
  }
  EXPECT_EQ(communication, 2);
}

TEST_F(UsbPrinter, SecondOpenEndsTheFirstConnection) {
  plug_in();
  const intptr_t first = open_path();
  ASSERT_GE(first, 0);
  handle = open_path();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(stats().claimed, 1);
  EXPECT_EQ(stats().releases, 1);
  // The ended handle is refused by every call, closing it included.
  unsigned char b = 1;
  if (first != handle) {
    EXPECT_EQ(Q48_api_printer_write(first, &b, 1, 100), 0);
    EXPECT_EQ(Q48_api_printer_read(first, &b, 1, 100), 0);
    EXPECT_EQ(Q48_api_printer_clear(first), 0);
    Q48_api_printer_close(first);
    EXPECT_EQ(stats().claimed, 1);
  }
  EXPECT_EQ(Q48_api_printer_write(handle, &b, 1, 500), 1);
  Q48_api_printer_close(handle);
  handle = -1;
  expect_nothing_left();
}

// The handle carries no mark of its transport, so the device-file calls
// check it: a live USB handle is never taken for a descriptor, and a
// device-file open ends the USB connection as a USB open would.
TEST_F(UsbPrinter, DeviceFileCallsNeverTakeTheUsbHandleForADescriptor) {
  connect();
  unsigned char b = 1;
  communication = 1; // as an application may set it
  EXPECT_EQ(Q48_api_printer_write(handle, &b, 1, 0), 0);
  EXPECT_EQ(Q48_api_printer_read(handle, &b, 1, 0), 0);
  EXPECT_EQ(Q48_api_printer_clear(handle), 0);
  EXPECT_EQ(Q48_api_printer_set_serial(handle, 9600, 8, 'n', 1), 0);
  Q48_api_printer_close(handle);
  EXPECT_EQ(stats().claimed, 1);

  q48test::temp_dir dir;
  std::string lp0 = dir.make_parents("dev/usb/lp0");
  ASSERT_EQ(mkfifo(lp0.c_str(), 0600), 0);
  const int reader = ::open(lp0.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const intptr_t fd = Q48_api_printer_open(lp0.data());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(communication, 1);
  EXPECT_EQ(stats().claimed, 0) << "the USB connection ended";
  EXPECT_EQ(m_pub_rx_buffer, nullptr);
  Q48_api_printer_close(handle); // the ended USB handle
  EXPECT_NE(fcntl(static_cast<int>(fd), F_GETFD), -1) << "the device file is still open";

  // The other way round: after a USB open, close still ends the device file
  // that open returned, and leaves a descriptor of the application's alone.
  handle = open_path();
  ASSERT_GE(handle, 0);
  Q48_api_printer_close(reader);
  EXPECT_NE(fcntl(reader, F_GETFD), -1);
  Q48_api_printer_close(fd);
  EXPECT_EQ(fcntl(static_cast<int>(fd), F_GETFD), -1) << "the device file is closed";
  EXPECT_EQ(stats().claimed, 1);
  ::close(reader);
}

TEST_F(UsbPrinter, FailedSecondOpenLeavesNoConnectionBehind) {
  plug_in();
  const intptr_t first = open_path();
  ASSERT_GE(first, 0);
  EXPECT_EQ(open_path("/dev/bus/usb/001/099"), Q48_API_NO_PRINTER);
  expect_nothing_left();
  Q48_api_printer_close(first); // already ended: nothing happens
  expect_nothing_left();
}

TEST_F(UsbPrinter, SecondCloseOfAHandleDoesNothing) {
  connect();
  Q48_api_printer_close(handle);
  Q48_api_printer_close(handle);
  const intptr_t first = handle;
  // Also after the next open: the heap may give the closed handle's memory
  // straight back, but the new connection must not answer to the old value.
  handle = open_path();
  ASSERT_GE(handle, 0);
  EXPECT_NE(handle, first);
  Q48_api_printer_close(first);
  unsigned char b = 1;
  EXPECT_EQ(Q48_api_printer_write(handle, &b, 1, 500), 1);
  Q48_api_printer_close(handle);
  handle = -1;
  expect_nothing_left();
}

// ---- Write -----------------------------------------------------------------

TEST_F(UsbPrinter, JobAcceptedAtOnceGoesOutInOneTransfer) {
  connect();
  const auto job = bytes(100);
  auto copy = job;
  EXPECT_EQ(Q48_api_printer_write(handle, copy.data(), 100, 1000), 100);
  EXPECT_EQ(stats().out_urbs, 1);
  EXPECT_EQ(received(), job);
}

struct partial_case {
  const char *name;
  size_t accept_per_urb;
  q48_emu_out_mode mode;
};

void PrintTo(const partial_case &c, std::ostream *os) { *os << c.name; }

class PartialWrite : public UsbPrinter, public ::testing::WithParamInterface<partial_case> {};

// A transfer cut short still reports what went out; the next one must start
// right after it, so the printer gets every byte exactly once.
TEST_P(PartialWrite, ResumesAfterTheBytesThatWentOutAndSendsNoneTwice) {
  connect();
  q48_emu_set_out_behaviour(emu, GetParam().accept_per_urb, GetParam().mode);
  const auto job = bytes(100, 7);
  auto copy = job;
  EXPECT_EQ(Q48_api_printer_write(handle, copy.data(), 100, 3000), 100);
  EXPECT_EQ(received(), job);
}

INSTANTIATE_TEST_SUITE_P(CutShort, PartialWrite,
                         ::testing::Values(partial_case{"TimedOutAfter30", 30, Q48_EMU_OUT_TIMEOUT},
                                           partial_case{"StalledAfter40", 40, Q48_EMU_OUT_STALL},
                                           partial_case{"ShortAfter25", 25, Q48_EMU_OUT_ACCEPT}),
                         [](const ::testing::TestParamInfo<partial_case> &param_info) {
                           return param_info.param.name;
                         });

TEST_F(UsbPrinter, WriteThatRunsOutOfTimeReportsWhatWentOutAndNoMore) {
  connect();
  q48_emu_set_out_behaviour(emu, 10, Q48_EMU_OUT_TIMEOUT);
  auto job = bytes(100);
  const double start = now_ms();
  const int sent = Q48_api_printer_write(handle, job.data(), 100, 250);
  EXPECT_LT(now_ms() - start, 1500);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, 100);
  const auto got = received();
  EXPECT_EQ(got.size(), static_cast<size_t>(sent));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), job.begin()));
}

TEST_F(UsbPrinter, WriteWithZeroTimeoutMakesExactlyOneTransfer) {
  connect();
  q48_emu_set_out_behaviour(emu, 0, Q48_EMU_OUT_TIMEOUT);
  auto job = bytes(10);
  const double start = now_ms();
  EXPECT_EQ(Q48_api_printer_write(handle, job.data(), 10, 0), 0);
  EXPECT_LT(now_ms() - start, 1000);
  EXPECT_EQ(stats().out_urbs, 1);
}

TEST_F(UsbPrinter, NegativeSizeMovesNothing) {
  connect();
  auto job = bytes(10);
  EXPECT_EQ(Q48_api_printer_write(handle, job.data(), -5, 100), 0);
  EXPECT_EQ(Q48_api_printer_read(handle, job.data(), -5, 100), 0);
  EXPECT_EQ(stats().out_urbs, 0);
  EXPECT_EQ(stats().in_urbs, 0);
}

TEST_F(UsbPrinter, WritePrintsEachPassAndWhatItSent) {
  connect();
  DEBUG_MESSAGES = 1;
  auto job = bytes(100);
  int written = 0;
  const std::string text =
      printed([&] { written = Q48_api_printer_write(handle, job.data(), 100, 1000); });
  EXPECT_EQ(written, 100);
  EXPECT_EQ(text, "Startig wirting = 2\nWritten = 100, size = 100\n");
}

// ---- Read through the ring -----------------------------------------------

TEST_F(UsbPrinter, BytesBeyondARequestWaitInTheRingForTheNextRead) {
  connect();
  const auto answer = bytes(64, 3);
  q48_emu_queue_answer(emu, answer.data(), answer.size());
  std::vector<unsigned char> got(64, 0);
  EXPECT_EQ(Q48_api_printer_read(handle, got.data(), 10, 1000), 10);
  EXPECT_TRUE(std::equal(answer.begin(), answer.begin() + 10, got.begin()));
  EXPECT_EQ(stats().in_urbs, 1);
  EXPECT_EQ(m_index_rx_top - m_index_rx_bottom, 54);
  EXPECT_EQ(Q48_api_printer_read(handle, got.data(), 54, 1000), 54);
  EXPECT_TRUE(std::equal(answer.begin() + 10, answer.end(), got.begin()));
  EXPECT_EQ(stats().in_urbs, 1) << "a read that the ring meets makes no transfer";
}

TEST_F(UsbPrinter, ShortAnswerIsKeptAndHandedOutFirstNextTime) {
  connect();
  const auto first = bytes(8, 1);
  const auto second = bytes(12, 2);
  q48_emu_queue_answer(emu, first.data(), first.size());
  std::vector<unsigned char> got(20, 0xAA);
  const double start = now_ms();
  EXPECT_EQ(Q48_api_printer_read(handle, got.data(), 20, 300), 0);
  EXPECT_LT(now_ms() - start, 1500);
  EXPECT_EQ(got, std::vector<unsigned char>(20, 0xAA)) << "nothing is copied out";
  q48_emu_queue_answer(emu, second.data(), second.size());
  EXPECT_EQ(Q48_api_printer_read(handle, got.data(), 20, 1000), 20);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), got.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), got.begin() + 8));
}

// Answers longer than the ring at small and large packets. A read asks the
// printer for a packet only while the ring can take it whole, so a request
// the ring cannot meet stops with the rest of the answer still queued, and
// smaller reads then get every byte once, in order.
struct long_answer {
  const char *name;
  uint16_t packet;
  size_t length;
};

void PrintTo(const long_answer &c, std::ostream *os) { *os << c.name; }

class LongAnswer : public UsbPrinter, public ::testing::WithParamInterface<long_answer> {
protected:
  void SetUp() override {
    cfg.max_packet_size = GetParam().packet;
    connect();
    answer = bytes(GetParam().length, 5);
    q48_emu_queue_answer(emu, answer.data(), answer.size());
  }
  static int held() { return (m_index_rx_top - m_index_rx_bottom + 1024) % 1024; }
  std::vector<unsigned char> answer;
};

TEST_P(LongAnswer, ReadThatTheRingCannotMeetLosesNothingAndSmallerReadsGetItAll) {
  const int largest = 1024 - GetParam().packet;
  std::vector<unsigned char> got(1024, 0);
  const int expected =
      GetParam().length > static_cast<size_t>(largest) ? Q48_API_READ_RING_FULL : 0;
  EXPECT_EQ(Q48_api_printer_read(handle, got.data(), largest + 1, 300), expected);
  EXPECT_EQ(held() + q48_emu_pending_answer_bytes(emu), answer.size())
      << "every byte is in the ring or still with the printer";
  std::vector<unsigned char> all;
  while (all.size() < answer.size()) {
    const int piece = static_cast<int>(std::min<size_t>(largest, answer.size() - all.size()));
    ASSERT_EQ(Q48_api_printer_read(handle, got.data(), piece, 1000), piece) << all.size();
    all.insert(all.end(), got.begin(), got.begin() + piece);
  }
  EXPECT_EQ(all, answer);
  EXPECT_EQ(held(), 0);
}

TEST_P(LongAnswer, ClearDrainsTheWholeAnswerSoTheNextReadGetsOnlyNewBytes) {
  const double start = now_ms();
  EXPECT_EQ(Q48_api_printer_clear(handle), 1);
  EXPECT_LT(now_ms() - start, 1500);
  EXPECT_EQ(q48_emu_pending_answer_bytes(emu), 0u);
  EXPECT_EQ(held(), 0);
  const unsigned char fresh[] = {0x10, 0x04, 0x01};
  q48_emu_queue_answer(emu, fresh, sizeof fresh);
  unsigned char got[3] = {};
  EXPECT_EQ(Q48_api_printer_read(handle, got, 3, 1000), 3);
  EXPECT_TRUE(std::equal(got, got + 3, fresh));
}

INSTANTIATE_TEST_SUITE_P(
    Packets, LongAnswer,
    ::testing::Values(long_answer{"Short64", 64, 300}, long_answer{"Long64", 64, 1100},
                      long_answer{"Longer64", 64, 2000}, long_answer{"Short512", 512, 300},
                      long_answer{"Long512", 512, 1100}, long_answer{"Longer512", 512, 2000}),
    [](const ::testing::TestParamInfo<long_answer> &param_info) { return param_info.param.name; });

TEST_F(UsbPrinter, RingWithLessRoomThanAPacketRefusesAtOnceWithoutATransfer) {
  connect();
  const auto answer = bytes(1063, 9);
  // 896 + 63 bytes leave room for exactly one more packet; after it the
  // ring holds 1023 and has room for none.
  q48_emu_queue_answer(emu, answer.data(), 896);
  q48_emu_queue_answer(emu, answer.data() + 896, 63);
  q48_emu_queue_answer(emu, answer.data() + 959, 64);
  q48_emu_queue_answer(emu, answer.data() + 1023, 40);
  std::vector<unsigned char> got(answer.size(), 0);
  EXPECT_EQ(Q48_api_printer_read(handle, got.data(), 1023 + 1, 3000), Q48_API_READ_NO_ROOM);
  EXPECT_EQ(m_index_rx_top, 1023);
  EXPECT_EQ(stats().in_urbs, 16);
  EXPECT_EQ(q48_emu_pending_answer_bytes(emu), 40u);
  ASSERT_EQ(Q48_api_printer_read(handle, got.data(), 960, 1000), 960);
  ASSERT_EQ(Q48_api_printer_read(handle, got.data() + 960, 103, 1000), 103);
  EXPECT_EQ(got, answer);
}

TEST_F(UsbPrinter, ReadPrintsTheBytesOfEachPacket) {
  connect();
  const unsigned char answer[] = {0x01, 0xAB, 0x7F};
  q48_emu_queue_answer(emu, answer, sizeof answer);
  DEBUG_MESSAGES = 1;
  unsigned char got[3] = {};
  int result = 0;
  const std::string text = printed([&] { result = Q48_api_printer_read(handle, got, 3, 1000); });
  EXPECT_EQ(result, 3);
  EXPECT_EQ(text, "\n Start of reading = 3 \n"
                  "\n Transfered = 3 \n"
                  "[01] [AB] [7F] \n \n"
                  "Read count bytes = 3, free buffer size = 1021, current buffer = 3 \n");
}

TEST_F(UsbPrinter, ReadPrintsTheNameOfTheTransferError) {
  connect();
  DEBUG_MESSAGES = 1;
  unsigned char got = 0;
  int result = -9;
  const std::string text = printed([&] { result = Q48_api_printer_read(handle, &got, 1, 0); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(text, "\n Start of reading = 1 \n"
                  "\n Transfered = 0 \n"
                  "\n \n"
                  "error = -7, count = 0\n"
                  "READ TIMEOUT -7\n"
                  "Read count bytes = 0, free buffer size = 1024, current buffer = 0 \n");
}

// ---- Clear -----------------------------------------------------------------

TEST_F(UsbPrinter, ClearOnASilentPrinterSpendsItsBudgetAndEmptiesTheRing) {
  connect();
  const auto answer = bytes(64);
  q48_emu_queue_answer(emu, answer.data(), answer.size());
  unsigned char got[10];
  ASSERT_EQ(Q48_api_printer_read(handle, got, 10, 1000), 10);
  const int urbs_before = stats().in_urbs;
  const double start = now_ms();
  EXPECT_EQ(Q48_api_printer_clear(handle), 1);
  const double took = now_ms() - start;
  EXPECT_GE(took, 450);
  EXPECT_LT(took, 2000);
  const int transfers = stats().in_urbs - urbs_before;
  EXPECT_GE(transfers, 4);
  EXPECT_LE(transfers, 6);
  EXPECT_EQ(m_index_rx_top, 0);
  EXPECT_EQ(m_index_rx_bottom, 0);
}

TEST_F(UsbPrinter, ClearOfAPrinterThatNeverStopsTalkingEndsAfterASecond) {
  connect();
  std::atomic<bool> talking{true};
  std::thread chatter([this, &talking] {
    const auto status = bytes(64);
    for (int i = 0; i < 150 && talking; ++i) {
      q48_emu_queue_answer(emu, status.data(), status.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const double start = now_ms();
  EXPECT_EQ(Q48_api_printer_clear(handle), 1);
  const double took = now_ms() - start;
  talking = false;
  chatter.join();
  EXPECT_GE(took, 950);
  EXPECT_LT(took, 1600);
}

TEST_F(UsbPrinter, ClearPrintsEachTransfer) {
  connect();
  const unsigned char answer[] = {1, 2};
  q48_emu_queue_answer(emu, answer, sizeof answer);
  DEBUG_MESSAGES = 1;
  int result = 0;
  const std::string text = printed([&] { result = Q48_api_printer_clear(handle); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(text, " Start bulk data = 129 \n Clear read - ret = 2 / 0 \n"
                  " Start bulk data = 129 \n Clear read - ret = 0 / -7 \n");
}

// ---- Signals -------------------------------------------------------------

// An application's interval timer without SA_RESTART interrupts every
// pause; the claim loop must still try about ten times in its second, and
// the transfers must keep their bytes and their time.
TEST_F(UsbPrinter, TimerSignalEveryMillisecondChangesNeitherBytesNorTiming) {
  plug_in();
  q48_emu_set_claim_busy(emu, 1000);
  const long signals_before = q48test::signal_storm::delivered();
  const auto job = bytes(100);
  const auto answer = bytes(64, 3);
  auto copy = job;
  std::vector<unsigned char> got(64, 0);
  double claim_ms = 0, read_ms = 0, clear_ms = 0;
  intptr_t busy = 0;
  {
    const q48test::signal_storm storm;
    double start = now_ms();
    busy = open_path();
    claim_ms = now_ms() - start;
    q48_emu_set_claim_busy(emu, 0);
    handle = open_path();
    ASSERT_GE(handle, 0);
    EXPECT_EQ(Q48_api_printer_write(handle, copy.data(), 100, 1000), 100);
    q48_emu_queue_answer(emu, answer.data(), answer.size());
    EXPECT_EQ(Q48_api_printer_read(handle, got.data(), 10, 1000), 10);
    start = now_ms();
    EXPECT_EQ(Q48_api_printer_read(handle, got.data() + 10, 60, 300), 0);
    read_ms = now_ms() - start;
    start = now_ms();
    EXPECT_EQ(Q48_api_printer_clear(handle), 1);
    clear_ms = now_ms() - start;
  }
  EXPECT_GT(q48test::signal_storm::delivered() - signals_before, 500);
  EXPECT_EQ(busy, Q48_API_CLAIM_TIMEOUT);
  EXPECT_GE(claim_ms, 950);
  EXPECT_LT(claim_ms, 2500);
  EXPECT_LE(stats().claim_attempts, 13) << "ten tries and the successful one";
  EXPECT_EQ(received(), job);
  EXPECT_TRUE(std::equal(answer.begin(), answer.begin() + 10, got.begin()));
  EXPECT_GE(read_ms, 290);
  EXPECT_LT(read_ms, 900);
  EXPECT_GE(clear_ms, 450);
  EXPECT_LT(clear_ms, 2000);
}

// ---- Unplugged printer -----------------------------------------------------

TEST_F(UsbPrinter, UnplugDuringAReadEndsItWithinItsTimeout) {
  connect();
  std::thread unplug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    q48_emu_unplug(emu);
  });
  unsigned char got[10];
  const double start = now_ms();
  EXPECT_EQ(Q48_api_printer_read(handle, got, 10, 600), 0);
  EXPECT_LT(now_ms() - start, 2000);
  unplug.join();
  EXPECT_EQ(Q48_api_printer_clear(handle), 1);
}

TEST_F(UsbPrinter, UnplugDuringAWriteEndsItWithinItsTimeout) {
  connect();
  q48_emu_set_out_behaviour(emu, 0, Q48_EMU_OUT_TIMEOUT);
  std::thread unplug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    q48_emu_unplug(emu);
  });
  auto job = bytes(100);
  const double start = now_ms();
  const int sent = Q48_api_printer_write(handle, job.data(), 100, 600);
  EXPECT_LT(now_ms() - start, 2000);
  EXPECT_GE(sent, 0);
  EXPECT_LE(sent, 100);
  unplug.join();
  Q48_api_printer_close(handle);
  handle = -1;
  EXPECT_EQ(m_pub_rx_buffer, nullptr);
}

} // namespace
} // namespace q48usbtest
