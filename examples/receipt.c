/*
 * Prints a small receipt on a Q48 printer and reads back one status byte.
 *
 *   q48_receipt_example /dev/bus/usb/001/011     (see q48-list)
 *   q48_receipt_example /dev/usb/lp0
 *
 * The job is written as coded command text, the readable form of printer
 * bytes: [1B 40] is hexadecimal, "..." is text as it stands, \n a line end.
 * The toolbox turns it into the bytes to send.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Q48_Api.h"
#include "Q48_Tb.h"

/* A // in coded text hides everything after it, later lines included, so
 * the notes stay in C comments beside the pieces. */
static const char receipt[] = "[1B 40]"                            /* reset the printer */
                              "[1B 61 01] \"Corner Shop\" \\n \\n" /* centred title */
                              "[1B 61 00]"                         /* back to the left margin */
                              "\"2 x Coffee      5.00\" \\n"
                              "\"1 x Croissant   2.20\" \\n"
                              "\"Total           7.20\" \\n \\n"
                              "[1D 56 00]"  /* cut the paper */
                              "[10 04 01]"; /* ask for the printer status */

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PRINTER-PATH\n", argv[0]);
    return 2;
  }

  /* Turn the coded text into raw bytes. The command object owns them until
   * Q48_tb_cmd_exit. */
  int job = Q48_tb_cmd_init_coded((unsigned char *)receipt, (unsigned int)strlen(receipt));
  unsigned char *bytes = NULL;
  unsigned int size = 0;
  if (job == 0 || !Q48_tb_cmd_get_raw(job, &bytes, &size)) {
    fprintf(stderr, "cannot convert the receipt\n");
    Q48_tb_cmd_exit(job);
    return 1;
  }

  /* open may cut a USB path into pieces, so it gets a copy of its own. */
  char port[256];
  snprintf(port, sizeof port, "%s", argv[1]);
  intptr_t printer = Q48_api_printer_open(port);
  int status = 1;
  if (printer < 0) {
    fprintf(stderr, "cannot open %s: code %ld\n", argv[1], (long)printer);
  } else if (Q48_api_printer_write(printer, bytes, (int)size, 2000) != (int)size) {
    fprintf(stderr, "the printer took only part of the receipt within 2 s\n");
  } else {
    /* The status request at the end of the job brings one byte back. */
    unsigned char answer = 0;
    if (Q48_api_printer_read(printer, &answer, 1, 1000) == 1) {
      printf("printed %u bytes, status [%02X]\n", size, answer);
      status = 0;
    } else {
      fprintf(stderr, "printed %u bytes, but no status came back within 1 s\n", size);
    }
  }

  Q48_api_printer_close(printer); /* does nothing for a failed open */
  Q48_tb_cmd_exit(job);
  return status;
}
