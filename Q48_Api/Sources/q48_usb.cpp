// USB transport through libusb-1.0. Until it is built, a USB path finds no
// printer and the transfer functions move nothing.

#include "Q48_Api.h"
#include "q48_internal.h"

namespace q48::usb {

intptr_t open(char *port) {
  (void)port;
  return Q48_API_NO_PRINTER;
}
void close(intptr_t printer) { (void)printer; }
int clear(intptr_t printer) {
  (void)printer;
  return 0;
}
int write(intptr_t printer, unsigned char *data, int size, unsigned long timeout_ms) {
  (void)printer, (void)data, (void)size, (void)timeout_ms;
  return 0;
}
int read(intptr_t printer, unsigned char *data, int size, unsigned long timeout_ms) {
  (void)printer, (void)data, (void)size, (void)timeout_ms;
  return 0;
}

} // namespace q48::usb
