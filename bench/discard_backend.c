/* The floor of a CUPS job's latency: a backend that reads the job and
 * throws it away, with nothing of a printer's. It lists no device. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  int fd = 0;
  if (argc == 7) {
    fd = open(argv[6], O_RDONLY);
  }
  if (argc < 6 || fd < 0) {
    return argc == 1 ? 0 : 1;
  }
  char buf[4096];
  while (read(fd, buf, sizeof buf) > 0) {
  }
  return 0;
}
