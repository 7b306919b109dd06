// Q48_Api_Test: sends one form feed to the printer named on the command line
// and prints a protocol of each step. It always exits with 0; the protocol
// tells the outcome.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Q48_Api.h"

namespace {

const char *const kRuleOpen = "\n-------------------------------------------------";
const char *const kRule = "-------------------------------------------------";

struct session {
  intptr_t printer = 0;
  char *port_copy = nullptr;
};

// Steps up to the successful close. Every way out of it leads to the same
// clean-up in main, which closes what is still open.
void run(session &s, const char *program, const char *port) {
  unsigned char form_feed = 0x0C;

  std::puts(kRuleOpen);
  std::printf("--- START OF APPLICATION (%s)\n", program);
  std::puts(kRule);

  // Open cuts a USB path into tokens in place, so it gets a copy and the
  // protocol keeps printing the path as typed.
  const std::size_t length = std::strlen(port);
  s.port_copy = static_cast<char *>(std::malloc(length + 1));
  if (s.port_copy == nullptr) {
    std::puts("--- ERROR: COULD NOT ALLOCATE MEMORY !");
    return;
  }
  std::memcpy(s.port_copy, port, length);
  s.port_copy[length] = '\0';

  s.printer = Q48_api_printer_open(s.port_copy);
  std::puts(kRuleOpen);
  // intptr_t is long on x86-64 and int on armhf; long holds it on both.
  std::printf("--- Printer name \t= %s\n--- Printer handler \t= %ld\n", port,
              static_cast<long>(s.printer));
  std::puts(kRule);
  if (s.printer < 0) {
    std::printf("--- ERROR: OPENING PRINTER = %s \n", port);
    return;
  }

  (void)Q48_api_printer_clear(s.printer);
  const int written = Q48_api_printer_write(s.printer, &form_feed, 1, 1000);
  if (written != 1) {
    std::puts("--- ERROR: COULD NOT SENT FORM FEED CMD !");
    return;
  }
  std::puts("--- FORM FEED CMD SENT OK");
  std::puts(kRule);
  Q48_api_printer_close(s.printer);
  s.printer = 0;
  std::puts(kRuleOpen);
  std::printf("--- END OF APPLICATION (%s)\n", program);
  std::puts(kRule);
}

} // namespace

int main(int argc, char **argv) {
  session s;
  if (argc <= 1) {
    std::puts("\nERROR: No printer path available , example usage : Q48_Api_Test "
              "\"/dev/bus/usb/001/011\" \n");
  } else {
    run(s, argv[0], argv[1]);
  }
  std::free(s.port_copy);
  s.port_copy = nullptr;
  if (s.printer != 0) {
    Q48_api_printer_close(s.printer);
  }
  return 0;
}
