// The form-feed program run as its users run it: as a process, its whole
// standard output compared byte for byte.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "q48_test_util.h"

namespace {

const std::string kProgram = Q48_API_TEST_PROGRAM;
const std::string kRuleOpen = "\n-------------------------------------------------\n";
const std::string kRule = "-------------------------------------------------\n";

std::string start_block() {
  return kRuleOpen + "--- START OF APPLICATION (" + kProgram + ")\n" + kRule;
}
std::string opened_block(const std::string &path, const std::string &handle) {
  return kRuleOpen + "--- Printer name \t= " + path + "\n--- Printer handler \t= " + handle + "\n" +
         kRule;
}

TEST(FormFeedProgram, WithoutArgumentPrintsOnlyTheUsage) {
  const auto r = q48test::run_program({kProgram});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "\nERROR: No printer path available , example usage : Q48_Api_Test "
                   "\"/dev/bus/usb/001/011\" \n\n");
}

TEST(FormFeedProgram, RejectedPathIsReportedWithItsCode) {
  const std::string path = "/tmp/q48-no-such-printer";
  const auto r = q48test::run_program({kProgram, path});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, start_block() + opened_block(path, "-2") +
                       "--- ERROR: OPENING PRINTER = " + path + " \n");
}

TEST(FormFeedProgram, MissingDeviceFileIsReportedWithItsCode) {
  const std::string path = "/tmp/q48-none/dev/usb/lp0";
  const auto r = q48test::run_program({kProgram, path, "ignored extra argument"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, start_block() + opened_block(path, "-1") +
                       "--- ERROR: OPENING PRINTER = " + path + " \n");
}

TEST(FormFeedProgram, SendsExactlyOneFormFeedToALinePrinter) {
  q48test::temp_dir dir;
  const std::string lp0 = dir.make_parents("dev/usb/lp0");
  ASSERT_EQ(mkfifo(lp0.c_str(), 0600), 0);
  const int printer = ::open(lp0.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(printer, 0);

  const auto r = q48test::run_program({kProgram, lp0});
  EXPECT_EQ(r.exit_status, 0);

  std::smatch handle;
  ASSERT_TRUE(std::regex_search(r.out, handle, std::regex("handler \t= ([0-9]+)\n"))) << r.out;
  EXPECT_EQ(r.out, start_block() + opened_block(lp0, handle[1]) + "--- FORM FEED CMD SENT OK\n" +
                       kRule + kRuleOpen + "--- END OF APPLICATION (" + kProgram + ")\n" + kRule);

  unsigned char got[4];
  EXPECT_EQ(::read(printer, got, sizeof got), 1);
  EXPECT_EQ(got[0], 0x0C);
  ::close(printer);
}

} // namespace

#ifdef Q48_EMULATED_PRINTER_PROGRAM
// The same program over USB, against the emulated printer, which prints what
// it received after the program's own protocol.
namespace {

const std::string kEmulator = Q48_EMULATED_PRINTER_PROGRAM;
const std::string kUsbPath = "/dev/bus/usb/001/011";

std::string usb_handle(const std::string &out) {
  std::smatch handle;
  return std::regex_search(out, handle, std::regex("handler \t= ([0-9]+)\n")) ? handle[1].str()
                                                                              : "?";
}

TEST(FormFeedProgramOverUsb, SendsExactlyOneFormFeedToTheEmulatedPrinter) {
  const auto r = q48test::run_program({kEmulator, "--", kProgram, kUsbPath});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, start_block() + opened_block(kUsbPath, usb_handle(r.out)) +
                       "--- FORM FEED CMD SENT OK\n" + kRule + kRuleOpen +
                       "--- END OF APPLICATION (" + kProgram + ")\n" + kRule +
                       "Printer received 1 byte: [0C]\n");
}

TEST(FormFeedProgramOverUsb, PrinterThatTakesNothingGivesTheWriteError) {
  const auto r = q48test::run_program({kEmulator, "--accept", "0", "--", kProgram, kUsbPath});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, start_block() + opened_block(kUsbPath, usb_handle(r.out)) +
                       "--- ERROR: COULD NOT SENT FORM FEED CMD !\n" +
                       "Printer received 0 bytes: []\n");
}

} // namespace
#endif
