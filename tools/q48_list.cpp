// q48-list: prints one line for each attached Q48 printer, as sysfs shows
// it: the raw USB path that Q48_api_printer_open takes and, when the
// kernel's usblp driver has made one for it, the printer's line-printer node.
//
//   /dev/bus/usb/001/011 /dev/usb/lp0
//
// --uri prints the printers' stable URIs instead, as the CUPS backend lists
// them; --serial S prints the current path of the printer with that serial
// number. With no printer (or not that one) it prints nothing and exits 1.

#include <cerrno>
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
    "Exit status: 0 printers found, 1 none (nothing is printed) or the list\n"
    "cannot be written, 2 usage.\n";

enum class mode { paths, uris, serial };

// The listing is the program's result: a line that cannot be written (a
// full disk, a closed pipe) must not pass for a complete list.
bool print_line(const char *first, const char *second) {
  const int n =
      second != nullptr ? std::printf("%s %s\n", first, second) : std::printf("%s\n", first);
  return n >= 0;
}

int finish(int status) {
  if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && status != kExitUsage) {
    (void)std::fputs("q48-list: cannot write to standard output\n", stderr);
    status = kExitFailure;
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  mode m = mode::paths;
  const char *wanted = nullptr;
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    return finish(std::fputs(kUsage, stdout) >= 0 ? kExitOk : kExitFailure);
  }
  if (argc == 2 && std::strcmp(argv[1], "--uri") == 0) {
    m = mode::uris;
  } else if (argc == 3 && std::strcmp(argv[1], "--serial") == 0 && argv[2][0] != '\0') {
    m = mode::serial;
    wanted = argv[2];
  } else if (argc != 1) {
    (void)std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  q48::printer_list printers;
  if (!q48::find_printers(printers)) {
    (void)std::fprintf(stderr,
                       "q48-list: cannot read the USB devices in /sys/bus/usb/devices: %s\n",
                       std::strerror(errno));
  }
  int shown = 0;
  bool written = true;
  for (const q48::printer &p : printers) {
    if (m == mode::uris) {
      static char uri[q48::kUriSize];
      q48::printer_uri(p, uri, sizeof uri);
      written = print_line(uri, nullptr) && written;
      shown++;
    } else if (m == mode::serial) {
      if (std::strcmp(p.serial, wanted) == 0) {
        written = print_line(p.path, nullptr) && written;
        shown++;
      }
    } else {
      written = print_line(p.path, p.lp[0] != '\0' ? p.lp : nullptr) && written;
      shown++;
    }
  }
  return finish(shown > 0 && written ? kExitOk : kExitFailure);
}
