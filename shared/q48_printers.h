// The attached Q48 printers as the kernel shows them in sysfs: bus, address,
// strings and line-printer node. Nothing here opens a device node, so
// listing never claims a printer nor disturbs one that is printing. Used by
// q48-list and the CUPS backend; the Python package's q48.printers() reads
// the same files the same way.
#ifndef Q48_PRINTERS_H
#define Q48_PRINTERS_H

#include <cstddef>
#include <cstdlib>

namespace q48 {

constexpr unsigned kVendorId = 0x2F7A;
constexpr unsigned kProductId = 0x0001;
// A serial number is at most 126 UTF-16 units, 378 bytes in UTF-8; one that
// does not fit is not read at all rather than cut to match another.
constexpr std::size_t kSerialSize = 512;
// q48://usb?serial= and every byte of the longest serial percent-encoded.
constexpr std::size_t kUriSize = 18 + 3 * kSerialSize;

struct printer {
  int bus = 0;
  int address = 0;
  char path[32] = "";            // /dev/bus/usb/BBB/DDD
  char lp[300] = "";             // /dev/usb/lpN when usblp serves it, else ""
  char serial[kSerialSize] = ""; // iSerialNumber whole, "" when it has none
  char manufacturer[128] = "";   // iManufacturer, "" when unknown; may be cut
  char product[128] = "";        // iProduct, "" when unknown; may be cut
  char entry[256] = "";          // its folder in /sys/bus/usb/devices ("1-1.4"), whole
};

// The attached printers, however many: a fixed table would leave some out,
// which ones following sysfs's directory order, and a job for one of them
// would wait for ever. On malloc, as the programs carry no C++ runtime.
struct printer_list {
  printer *items = nullptr;
  std::size_t count = 0;
  std::size_t cap = 0;
  printer_list() = default;
  printer_list(const printer_list &) = delete;
  printer_list &operator=(const printer_list &) = delete;
  ~printer_list() { std::free(items); }
  const printer *begin() const { return items; }
  const printer *end() const { return items + count; }
};

// Fills list with every attached Q48 printer, sorted by bus and address
// (none where the machine has no USB). False, with the list empty, when
// sysfs cannot be read or memory runs out, errno saying which.
bool find_printers(printer_list &list);

// The first printer of list whose serial is serial, compared whole; nullptr
// when none has it.
const printer *find_serial(const printer_list &list, const char *serial);

// Whether sysfs still shows p where it was found: a Q48 printer with p's
// bus, address and serial under p's entry. It reads that entry alone, which
// makes it cheap enough to ask after every open: a printer that left between
// the lookup and the open may have given its address to another.
bool still_attached(const printer &p);

// The stable URI of p: q48://usb?serial=S with every byte of S that is not
// unreserved percent-encoded, or q48:/dev/bus/usb/BBB/DDD for a printer
// without a serial number. uri must hold kUriSize bytes.
void printer_uri(const printer &p, char *uri, std::size_t cap);

// Decodes the serial of a q48://usb?serial=S URI into serial (kSerialSize
// bytes); false when uri is not of that form, S is empty or too long, or a
// percent-escape is malformed or stands for NUL (which would cut S short and
// match another printer).
bool uri_serial(const char *uri, char *serial, std::size_t cap);

// The node that a q48:PATH URI names (an absolute PATH, not q48://...);
// nullptr for any other URI.
const char *uri_path(const char *uri);

} // namespace q48

#endif // Q48_PRINTERS_H
