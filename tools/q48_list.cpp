// q48-list: prints one line for each attached Q48 printer: the raw USB path
// that Q48_api_printer_open takes and, when the kernel's usblp driver has
// made one for it, the printer's line-printer node.
//
//   /dev/bus/usb/001/011 /dev/usb/lp0
//
// --uri prints the printers' stable URIs instead, as the CUPS backend lists
// them; --serial S prints the current path of the printer with that serial
// number. With no printer (or not that one) it prints nothing and exits 1.

#include <cstdio>
#include <cstring>

#include "q48_printers.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: q48-list [--uri | --serial S]\n"
    "Lists the attached Q48 printers, one a line: the raw USB device path\n"
    "(/dev/bus/usb/BBB/DDD, for q48-send and Q48_api_printer_open) and, if\n"
    "the printer has one, its line-printer node /dev/usb/lpN.\n"
    "  --uri        print each printer's stable URI for CUPS (q48://usb?serial=S)\n"
    "  --serial S   print the current path of the printer whose serial number is S\n"
    "Exit status: 0 printers found, 1 none (nothing is printed), 2 usage.\n";

enum class mode { paths, uris, serial };

} // namespace

int main(int argc, char **argv) {
  mode m = mode::paths;
  const char *wanted = nullptr;
  int status = kExitOk;
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (argc == 2 && std::strcmp(argv[1], "--uri") == 0) {
    m = mode::uris;
  } else if (argc == 3 && std::strcmp(argv[1], "--serial") == 0 && argv[2][0] != '\0') {
    m = mode::serial;
    wanted = argv[2];
  } else if (argc != 1) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  static q48::printer printers[q48::kMaxPrinters];
  const int count = q48::find_printers(printers, q48::kMaxPrinters);
  if (count < 0) {
    std::fputs("q48-list: cannot list the USB devices (libusb failed)\n", stderr);
  }
  int shown = 0;
  for (int i = 0; i < count; i++) {
    const q48::printer &p = printers[i];
    if (m == mode::uris) {
      char uri[512];
      q48::printer_uri(p, uri, sizeof uri);
      std::printf("%s\n", uri);
      shown++;
    } else if (m == mode::serial) {
      if (std::strcmp(p.serial, wanted) == 0) {
        std::printf("%s\n", p.path);
        shown++;
      }
    } else if (p.lp[0] != '\0') {
      std::printf("%s %s\n", p.path, p.lp);
      shown++;
    } else {
      std::printf("%s\n", p.path);
      shown++;
    }
  }
  status = shown > 0 ? kExitOk : kExitFailure;
  return status;
}
