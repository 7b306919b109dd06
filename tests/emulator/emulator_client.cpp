// A minimal libusb client for testing q48-emulated-printer: sends the bytes
// given as hex arguments to the printer at bus 1, address 11, then reads one
// answer packet and prints it as "answer: [..]".
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
  std::vector<unsigned char> job;
  for (int i = 1; i < argc; i++) {
    job.push_back(static_cast<unsigned char>(std::strtoul(argv[i], nullptr, 16)));
  }
  if (libusb_init(nullptr) != 0) {
    return 10;
  }
  int status = 11;
  libusb_device_handle *h = libusb_open_device_with_vid_pid(nullptr, 0x2F7A, 0x0001);
  if (h != nullptr && libusb_claim_interface(h, 0) == 0) {
    int sent = 0;
    int rc = libusb_bulk_transfer(h, 0x02, job.data(), static_cast<int>(job.size()), &sent, 100);
    unsigned char answer[64];
    int got = 0;
    libusb_bulk_transfer(h, 0x81, answer, sizeof answer, &got, 100);
    std::printf("answer: [");
    for (int i = 0; i < got; i++) {
      std::printf(i == 0 ? "%02X" : " %02X", answer[i]);
    }
    std::printf("]\n");
    libusb_release_interface(h, 0);
    status = rc == 0 && sent == static_cast<int>(job.size()) ? 0 : 12;
  }
  if (h != nullptr) {
    libusb_close(h);
  }
  libusb_exit(nullptr);
  return status;
}
