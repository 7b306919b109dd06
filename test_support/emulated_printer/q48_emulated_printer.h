/*
 * The emulated Q48 printer: a USB device that the real libusb-1.0 enumerates,
 * opens, claims and moves bulk data to, built on umockdev. It needs no
 * hardware and no root.
 *
 * The process that talks to the printer through libusb must run with
 * umockdev's preload (LD_PRELOAD=libumockdev-preload.so.0, or under
 * umockdev-wrapper) and with UMOCKDEV_DIR set to q48_emu_root_dir(). A test
 * that creates the printer in its own process runs under the wrapper, which
 * sets both. The handler runs in umockdev's worker thread; every function
 * below is safe to call from the test's thread while libusb is busy.
 *
 * The printer has one configuration (value 1) whose first interface offers
 * a bulk IN and a bulk OUT endpoint, unless the configuration below says
 * otherwise.
 */
#ifndef Q48_EMULATED_PRINTER_H
#define Q48_EMULATED_PRINTER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct q48_emu q48_emu;

typedef struct q48_emu_config {
  uint16_t vendor_id;       /* 0x2F7A */
  uint16_t product_id;      /* 0x0001 */
  int busnum;               /* 1 */
  int devnum;               /* 11 */
  int num_altsettings;      /* 1; 0 gives an interface without alternate setting */
  int num_endpoints;        /* 2 (IN and OUT); 1 gives the IN endpoint only */
  uint8_t in_endpoint;      /* 0x81 */
  uint8_t out_endpoint;     /* 0x02 */
  uint16_t max_packet_size; /* 64, for both endpoints */
  int configured;           /* 1: configuration 1 active from the start; 0: unconfigured */
  /* iSerialNumber (also sysfs "serial"); NULL or "" gives a printer without
   * one. The string is copied. */
  const char *serial; /* "Q48EMU0001" */
  /* Answer to the printer-class GET_DEVICE_ID request, without its two-byte
   * length and copied; NULL: the default below; "": the request stalls. */
  const char *device_id; /* "MFG:Mirelvank;MDL:Q48;CMD:ESC/POS;CLS:PRINT;SN:<serial>;" */
  /* N >= 0: sysfs shows the node /dev/usb/lpN that usblp made under
   * interface 0, for listings (nothing serves the node); -1: none. */
  int lp; /* -1 */
} q48_emu_config;

/* Fills *cfg with the defaults given above. */
void q48_emu_config_default(q48_emu_config *cfg);

/* Creates the testbed with the printer plugged in at cfg's bus and address.
 * cfg NULL: the defaults. Returns NULL on failure. */
q48_emu *q48_emu_new(const q48_emu_config *cfg);
/* As q48_emu_new, but plugged into the testbed of `beside`, so that both
 * printers are attached at once; their bus and address must differ. Either
 * may be freed first: freeing one unplugs it from the listing. */
q48_emu *q48_emu_new_beside(q48_emu *beside, const q48_emu_config *cfg);
void q48_emu_free(q48_emu *emu);

/* The testbed's root folder, for UMOCKDEV_DIR of a child process. */
const char *q48_emu_root_dir(const q48_emu *emu);
/* The device node path that the library is given, "/dev/bus/usb/001/011". */
const char *q48_emu_device_path(const q48_emu *emu);

/* IN endpoint: queues one answer of len bytes. Each queued answer is handed
 * to the next IN transfer(s) in order; an IN URB gets at most its own length
 * and at most one answer, so an answer longer than a URB is split over
 * several. While nothing is queued, an IN URB stays pending until libusb
 * discards it at its time-out. */
void q48_emu_queue_answer(q48_emu *emu, const void *data, size_t len);
/* Bytes queued and not yet handed to an IN URB. */
size_t q48_emu_pending_answer_bytes(q48_emu *emu);

/* OUT endpoint: how a URB is served. Each OUT URB accepts at most
 * accept_per_urb bytes (SIZE_MAX: all of it; 0: nothing). A URB cut short
 * then, by mode: completes short (ACCEPT), fails with a stall after the
 * accepted part (STALL), or stays pending with the accepted part recorded
 * until libusb discards it at its time-out (TIMEOUT). */
enum q48_emu_out_mode { Q48_EMU_OUT_ACCEPT, Q48_EMU_OUT_STALL, Q48_EMU_OUT_TIMEOUT };
void q48_emu_set_out_behaviour(q48_emu *emu, size_t accept_per_urb, enum q48_emu_out_mode mode);

/* The next `attempts` claims of the interface fail with EBUSY. */
void q48_emu_set_claim_busy(q48_emu *emu, int attempts);
/* A kernel driver ("usblp") is bound to interface 0; with detach_fails set,
 * detaching it fails. */
void q48_emu_set_kernel_driver(q48_emu *emu, int bound, int detach_fails);
/* Unplugs the printer: pending URBs complete with ENODEV, and every further
 * request fails with ENODEV. It stays listed, as a real printer does for the
 * moment before the kernel notices; q48_emu_replug takes it out. */
void q48_emu_unplug(q48_emu *emu);
/* Pulls the printer's plug (as q48_emu_unplug) and takes it out of the
 * listing; with devnum 1..999, plugs it back in at that address on the same
 * bus, as a real replug does: the same serial, bytes received, answers and
 * OUT behaviour, a new node and sysfs entry, and the old node dead for a
 * client that still holds it. q48_emu_device_path() then gives the new node.
 * devnum 0 leaves the printer out until the next call. Returns 1, or 0 when
 * devnum is out of range or the testbed refused the new entry. */
int q48_emu_replug(q48_emu *emu, int devnum);

/* What the printer has seen so far. */
typedef struct q48_emu_stats {
  int claimed;           /* interface 0 is claimed right now */
  int claim_attempts;    /* CLAIMINTERFACE requests, busy ones included */
  int releases;          /* RELEASEINTERFACE requests */
  int driver_bound;      /* a kernel driver is bound right now */
  int detach_attempts;   /* DISCONNECT requests */
  int set_configuration; /* SETCONFIGURATION requests */
  int in_urbs;           /* bulk IN URBs submitted */
  int out_urbs;          /* bulk OUT URBs submitted */
  int opens;             /* times the node was opened */
} q48_emu_stats;
void q48_emu_get_stats(q48_emu *emu, q48_emu_stats *stats);

/* Copies up to cap of the bytes received on the OUT endpoint and returns how
 * many were received in all. */
size_t q48_emu_received(q48_emu *emu, unsigned char *buf, size_t cap);
/* Forgets the bytes received so far. */
void q48_emu_clear_received(q48_emu *emu);

#ifdef __cplusplus
}
#endif

#endif /* Q48_EMULATED_PRINTER_H */
