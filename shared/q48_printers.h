// The attached Q48 printers as the kernel knows them: libusb's device list
// for bus and address, sysfs for the strings and the line-printer node.
// Nothing here opens a device node, so listing never claims a printer nor
// disturbs one that is printing. Used by q48-list and the CUPS backend.
#ifndef Q48_PRINTERS_H
#define Q48_PRINTERS_H

#include <cstddef>

namespace q48 {

constexpr unsigned kVendorId = 0x2F7A;
constexpr unsigned kProductId = 0x0001;
constexpr std::size_t kMaxPrinters = 64;

struct printer {
  int bus = 0;
  int address = 0;
  char path[32] = "";          // /dev/bus/usb/BBB/DDD
  char lp[300] = "";           // /dev/usb/lpN when usblp serves it, else ""
  char serial[128] = "";       // iSerialNumber, "" when the printer has none
  char manufacturer[128] = ""; // iManufacturer, "" when unknown
  char product[128] = "";      // iProduct, "" when unknown
};

// Fills printers with the attached Q48 printers, sorted by bus and address.
// Returns their number (at most kMaxPrinters), or -1 when libusb cannot list
// the devices.
int find_printers(printer *printers, std::size_t cap);

// The stable URI of p: q48://usb?serial=S (S percent-encoded), or
// q48:/dev/bus/usb/BBB/DDD for a printer without a serial number.
void printer_uri(const printer &p, char *uri, std::size_t cap);

// Decodes the serial of a q48://usb?serial=S URI into serial; false when uri
// is not of that form.
bool uri_serial(const char *uri, char *serial, std::size_t cap);

} // namespace q48

#endif // Q48_PRINTERS_H
