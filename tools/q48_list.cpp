// q48-list: prints one line for each attached Q48 printer: the raw USB path
// that Q48_api_printer_open takes and, when the kernel's usblp driver has
// made one for it, the printer's line-printer node.
//
//   /dev/bus/usb/001/011 /dev/usb/lp0
//
// With no printer attached it prints nothing and exits with 1.

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>

#include <libusb.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr uint16_t kVendorId = 0x2F7A;
constexpr uint16_t kProductId = 0x0001;
constexpr std::size_t kMaxPrinters = 64;

const char kUsage[] = "usage: q48-list\n"
                      "Lists the attached Q48 printers, one a line: the raw USB device path\n"
                      "(/dev/bus/usb/BBB/DDD, for q48-send and Q48_api_printer_open) and, if\n"
                      "the printer has one, its line-printer node /dev/usb/lpN.\n"
                      "Exit status: 0 printers found, 1 none (nothing is printed), 2 usage.\n";

struct printer {
  int bus = 0;
  int address = 0;
};

// Closes a directory stream on every way out.
struct dir_guard {
  DIR *dir;
  explicit dir_guard(const char *path) : dir(opendir(path)) {}
  dir_guard(const dir_guard &) = delete;
  dir_guard &operator=(const dir_guard &) = delete;
  ~dir_guard() {
    if (dir != nullptr) {
      closedir(dir);
    }
  }
};

bool read_number_file(const char *path, int *value) {
  std::FILE *f = std::fopen(path, "re");
  bool ok = false;
  if (f != nullptr) {
    // sysfs writes one decimal number and a line end; anything else is no
    // number, and one beyond int would match the wrong device.
    char text[32];
    if (std::fgets(text, sizeof text, f) != nullptr) {
      char *end = nullptr;
      errno = 0;
      const long v = std::strtol(text, &end, 10);
      ok = end != text && (*end == '\n' || *end == '\0') && errno == 0 && v >= 0 && v <= INT_MAX;
      if (ok) {
        *value = static_cast<int>(v);
      }
    }
    (void)std::fclose(f); // read only: nothing is lost if closing fails
  }
  return ok;
}

// Writes "lpN" of the first usbmisc node under one of the device's
// interfaces (sysfs dev/dev:C.I/usbmisc/lpN) into name; false when there is none.
bool find_lp_under(const char *device_dir, const char *device_name, char *name, std::size_t cap) {
  bool found = false;
  dir_guard dev(device_dir);
  const std::size_t prefix = std::strlen(device_name);
  for (dirent *e = dev.dir != nullptr ? readdir(dev.dir) : nullptr; e != nullptr && !found;
       e = readdir(dev.dir)) {
    // Interfaces are named after their device: "1-1:1.0".
    if (std::strncmp(e->d_name, device_name, prefix) != 0 || e->d_name[prefix] != ':') {
      continue;
    }
    char misc[1024];
    // The buffers hold the longest sysfs name (255 bytes) with room to
    // spare, so no snprintf here can cut its path.
    (void)std::snprintf(misc, sizeof misc, "%s/%s/usbmisc", device_dir, e->d_name);
    dir_guard nodes(misc);
    for (dirent *n = nodes.dir != nullptr ? readdir(nodes.dir) : nullptr; n != nullptr && !found;
         n = readdir(nodes.dir)) {
      if (std::strncmp(n->d_name, "lp", 2) == 0) {
        (void)std::snprintf(name, cap, "%s", n->d_name);
        found = true;
      }
    }
  }
  return found;
}

// The line-printer node of the USB device at bus/address, looked up in sysfs
// because libusb does not know about kernel drivers' nodes.
bool find_lp_node(const printer &p, char *node, std::size_t cap) {
  static const char kDevices[] = "/sys/bus/usb/devices";
  bool found = false;
  dir_guard devices(kDevices);
  for (dirent *e = devices.dir != nullptr ? readdir(devices.dir) : nullptr; e != nullptr && !found;
       e = readdir(devices.dir)) {
    if (e->d_name[0] == '.' || std::strchr(e->d_name, ':') != nullptr) {
      continue;
    }
    char dir[512];
    char file[600];
    int bus = 0;
    int address = 0;
    (void)std::snprintf(dir, sizeof dir, "%s/%s", kDevices, e->d_name);
    (void)std::snprintf(file, sizeof file, "%s/busnum", dir);
    const bool bus_ok = read_number_file(file, &bus);
    (void)std::snprintf(file, sizeof file, "%s/devnum", dir);
    if (bus_ok && read_number_file(file, &address) && bus == p.bus && address == p.address) {
      char lp[256];
      found = find_lp_under(dir, e->d_name, lp, sizeof lp);
      if (found) {
        (void)std::snprintf(node, cap, "/dev/usb/%s", lp);
      }
      break;
    }
  }
  return found;
}

// Fills printers with the attached Q48 printers, sorted by bus and address.
// Returns their number, or -1 when libusb cannot list devices.
int find_printers(std::array<printer, kMaxPrinters> &printers) {
  libusb_context *ctx = nullptr;
  int count = -1;
  if (libusb_init(&ctx) == 0) {
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n >= 0) {
      count = 0;
      for (ssize_t i = 0; i < n && static_cast<std::size_t>(count) < kMaxPrinters; i++) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == kVendorId &&
            d.idProduct == kProductId) {
          printers[static_cast<std::size_t>(count++)] = {libusb_get_bus_number(list[i]),
                                                         libusb_get_device_address(list[i])};
        }
      }
      libusb_free_device_list(list, 1);
    }
    libusb_exit(ctx);
  }
  std::sort(printers.begin(), printers.begin() + std::max(count, 0),
            [](const printer &a, const printer &b) {
              return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
            });
  return count;
}

} // namespace

int main(int argc, char **argv) {
  int status = kExitOk;
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    (void)std::fputs(kUsage, stdout);
  } else if (argc != 1) {
    (void)std::fputs(kUsage, stderr);
    status = kExitUsage;
  } else {
    std::array<printer, kMaxPrinters> printers{};
    const int count = find_printers(printers);
    if (count < 0) {
      (void)std::fputs("q48-list: cannot list the USB devices (libusb failed)\n", stderr);
    }
    for (int i = 0; i < count; i++) {
      const printer &p = printers[static_cast<std::size_t>(i)];
      char lp[300];
      if (find_lp_node(p, lp, sizeof lp)) {
        std::printf("/dev/bus/usb/%03d/%03d %s\n", p.bus, p.address, lp);
      } else {
        std::printf("/dev/bus/usb/%03d/%03d\n", p.bus, p.address);
      }
    }
    status = count > 0 ? kExitOk : kExitFailure;
  }
  return status;
}
