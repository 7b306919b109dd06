/*
 * The emulated Q48 printer: a sysfs entry and a device node in a umockdev
 * testbed, with a usbdevfs ioctl handler behind the node. libusb finds the
 * printer through libudev and sysfs, and then talks to the handler as if it
 * were the kernel's usbfs driver.
 *
 * The handler runs in umockdev's worker thread. Everything it touches, and
 * everything the test thread changes, sits behind one mutex.
 */
#define _GNU_SOURCE 1
#include "q48_emulated_printer.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

#include <glib-object.h>
#include <glib.h>
#include <umockdev.h>

/* One URB between SUBMITURB and its reap. */
typedef struct emu_urb {
  UMockdevIoctlData *urb;    /* the client's struct usbdevfs_urb */
  UMockdevIoctlData *buffer; /* its data buffer, NULL for a zero-length URB */
  gboolean is_in;
  gboolean reapable;
} emu_urb;

typedef struct emu_answer {
  GBytes *bytes;
  size_t offset;
} emu_answer;

typedef struct Q48EmuHandler Q48EmuHandler;

struct q48_emu {
  q48_emu_config cfg;
  UMockdevTestbed *testbed;
  /* The node the printer is plugged in at now; NULL while it is out. Nodes
   * of earlier plug-ins keep their handlers, dead, so that a client still
   * holding one sees what a real unplugged device gives it. */
  Q48EmuHandler *handler;
  GList *old_handlers; /* of Q48EmuHandler* */
  char *root_dir;
  char *sys_path;
  char dev_path[64];
  guint8 descriptors[256];
  char serial[512]; /* as long as sysfs may show one */
  char device_id[512];
  size_t descriptors_len;

  GMutex lock;
  /* Device state: survives a close, as it would on real hardware. */
  int configuration; /* 0: unconfigured */
  int driver_bound;
  int detach_fails;
  int unplugged;
  int claim_busy;
  size_t accept_per_urb;
  enum q48_emu_out_mode out_mode;
  GQueue answers; /* of emu_answer* */
  GByteArray *received;
  q48_emu_stats stats;
  int trace; /* Q48_EMU_TRACE set: every ioctl is logged to stderr */
};

/* ---- the ioctl handler type ------------------------------------------- */

/* One node of the printer. Its URBs are connection state: reset on the next
 * open because umockdev tells us nothing when a client closes the node. */
struct Q48EmuHandler {
  UMockdevIoctlBase parent_instance;
  q48_emu *emu;
  char dev_path[64];
  GQueue urbs; /* of emu_urb*, in submission order */
};

typedef struct Q48EmuHandlerClass {
  UMockdevIoctlBaseClass parent_class;
} Q48EmuHandlerClass;

static GType q48_emu_handler_get_type(void);
G_DEFINE_TYPE(Q48EmuHandler, q48_emu_handler, UMOCKDEV_TYPE_IOCTL_BASE)

static void urb_free(emu_urb *u) {
  if (u->buffer != NULL) {
    g_object_unref(u->buffer);
  }
  g_object_unref(u->urb);
  g_free(u);
}

static void answer_free(emu_answer *a) {
  g_bytes_unref(a->bytes);
  g_free(a);
}

static struct usbdevfs_urb *urb_struct(emu_urb *u) { return (struct usbdevfs_urb *)u->urb->data; }

static void urb_finish(emu_urb *u, int status, int actual_length) {
  struct usbdevfs_urb *s = urb_struct(u);
  s->status = status;
  s->actual_length = actual_length;
  u->reapable = TRUE;
}

/* Hands queued answer bytes to a pending IN URB; returns whether it could. */
static gboolean serve_in_urb(q48_emu *emu, emu_urb *u) {
  gboolean served = FALSE;
  emu_answer *a = g_queue_peek_head(&emu->answers);
  if (a != NULL) {
    struct usbdevfs_urb *s = urb_struct(u);
    gsize total = 0;
    const guint8 *bytes = g_bytes_get_data(a->bytes, &total);
    size_t n = total - a->offset;
    if (n > (size_t)s->buffer_length) {
      n = (size_t)s->buffer_length;
    }
    if (n > 0) {
      memcpy(u->buffer->data, bytes + a->offset, n);
    }
    a->offset += n;
    if (a->offset >= total) {
      answer_free(g_queue_pop_head(&emu->answers));
    }
    urb_finish(u, 0, (int)n);
    served = TRUE;
  }
  return served;
}

static void serve_pending_in_urbs(q48_emu *emu) {
  if (emu->handler == NULL) {
    return;
  }
  for (GList *l = emu->handler->urbs.head; l != NULL && emu->answers.length > 0; l = l->next) {
    emu_urb *u = l->data;
    if (u->is_in && !u->reapable) {
      serve_in_urb(emu, u);
    }
  }
}

static void handler_client_connected(UMockdevIoctlBase *base, UMockdevIoctlClient *client) {
  (void)client;
  Q48EmuHandler *h = (Q48EmuHandler *)base;
  q48_emu *emu = h->emu;
  g_mutex_lock(&emu->lock);
  g_queue_clear_full(&h->urbs, (GDestroyNotify)urb_free);
  if (h == emu->handler) {
    emu->stats.claimed = 0;
    emu->stats.opens++;
  }
  g_mutex_unlock(&emu->lock);
}

/* The value pointed to by the ioctl argument, resolved into our memory. */
static UMockdevIoctlData *resolve_arg(UMockdevIoctlClient *client, size_t len) {
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  return umockdev_ioctl_data_resolve(arg, 0, len, NULL);
}

static guint arg_uint(UMockdevIoctlClient *client, gboolean *ok) {
  guint v = 0;
  UMockdevIoctlData *d = resolve_arg(client, sizeof(guint));
  *ok = d != NULL;
  if (d != NULL) {
    memcpy(&v, d->data, sizeof v);
    g_object_unref(d);
  }
  return v;
}

static const char kManufacturer[] = "Mirelvank";
static const char kProduct[] = "Q48";

/* String descriptor `index` in UTF-16LE (ASCII only) into out; its length,
 * or 0 for a string the printer does not have. */
static int string_descriptor(const q48_emu *emu, int index, guint8 *out, size_t cap) {
  const char *text = index == 1   ? kManufacturer
                     : index == 2 ? kProduct
                     : index == 3 ? emu->serial
                                  : NULL;
  int n = 0;
  if (index == 0 && cap >= 4) {
    const guint8 langs[4] = {4, 3, 0x09, 0x04}; /* US English */
    memcpy(out, langs, sizeof langs);
    n = 4;
  } else if (text != NULL && text[0] != '\0') {
    size_t len = strlen(text);
    if (2 + 2 * len > cap || 2 + 2 * len > 255) {
      len = (MIN(cap, 255) - 2) / 2;
    }
    out[0] = (guint8)(2 + 2 * len);
    out[1] = 3;
    for (size_t i = 0; i < len; i++) {
      out[2 + 2 * i] = (guint8)text[i];
      out[3 + 2 * i] = 0;
    }
    n = out[0];
  }
  return n;
}

/* Control transfers on endpoint 0: the standard descriptor requests and the
 * printer class's GET_DEVICE_ID are answered, everything else succeeds
 * without data. */
static void control_urb(q48_emu *emu, emu_urb *u) {
  struct usbdevfs_urb *s = urb_struct(u);
  guint8 *setup = u->buffer != NULL ? u->buffer->data : NULL;
  int status = 0;
  int actual = 0;
  if (setup != NULL && s->buffer_length >= 8) {
    guint8 request_type = setup[0];
    guint8 request = setup[1];
    guint8 desc_index = setup[2];
    guint8 desc_type = setup[3];
    guint16 length = (guint16)(setup[6] | (setup[7] << 8));
    int room = s->buffer_length - 8;
    if (length < room) {
      room = length;
    }
    if (request_type == 0xA1 && request == 0 /* printer class: GET_DEVICE_ID */) {
      /* The ID goes out after its length, two bytes big-endian. */
      size_t len = strlen(emu->device_id);
      if (emu->device_id[0] == '\0') {
        status = -EPIPE;
      } else {
        guint8 framed[2 + sizeof emu->device_id];
        framed[0] = (guint8)((len + 2) >> 8);
        framed[1] = (guint8)((len + 2) & 0xFF);
        memcpy(framed + 2, emu->device_id, len);
        actual = (int)(len + 2) < room ? (int)(len + 2) : room;
        memcpy(setup + 8, framed, (size_t)actual);
      }
    } else if ((request_type & 0x80) != 0 && request == 6 /* GET_DESCRIPTOR */) {
      const guint8 *src = NULL;
      guint8 text[256];
      int n = 0;
      if (desc_type == 3) {
        n = string_descriptor(emu, desc_index, text, sizeof text);
        src = n > 0 ? text : NULL;
      } else if (desc_type == 1) {
        src = emu->descriptors;
        n = 18;
      } else if (desc_type == 2) {
        src = emu->descriptors + 18;
        n = (int)emu->descriptors_len - 18;
      }
      if (src == NULL) {
        status = -EPIPE;
      } else {
        actual = n < room ? n : room;
        memcpy(setup + 8, src, (size_t)actual);
      }
    } else if ((request_type & 0x80) != 0 && request == 0 /* GET_STATUS */) {
      actual = room < 2 ? room : 2;
      memset(setup + 8, 0, (size_t)actual);
    }
  }
  urb_finish(u, status, actual);
}

static void out_urb(q48_emu *emu, emu_urb *u) {
  struct usbdevfs_urb *s = urb_struct(u);
  size_t len = (size_t)s->buffer_length;
  size_t accepted = len < emu->accept_per_urb ? len : emu->accept_per_urb;
  if (accepted > 0) {
    g_byte_array_append(emu->received, u->buffer->data, (guint)accepted);
  }
  if (accepted == len || emu->out_mode == Q48_EMU_OUT_ACCEPT) {
    urb_finish(u, 0, (int)accepted);
  } else if (emu->out_mode == Q48_EMU_OUT_STALL) {
    urb_finish(u, -EPIPE, (int)accepted);
  } else {
    /* Stays pending until discarded; the accepted part is reported then. */
    s->actual_length = (int)accepted;
  }
}

static int submit_urb(q48_emu *emu, Q48EmuHandler *h, UMockdevIoctlClient *client) {
  int err = 0;
  UMockdevIoctlData *urb = resolve_arg(client, sizeof(struct usbdevfs_urb));
  if (urb == NULL) {
    return EFAULT;
  }
  struct usbdevfs_urb *s = (struct usbdevfs_urb *)urb->data;
  emu_urb *u = g_new0(emu_urb, 1);
  u->urb = urb;
  u->is_in = (s->endpoint & 0x80) != 0;
  if (s->buffer_length > 0) {
    u->buffer = umockdev_ioctl_data_resolve(urb, offsetof(struct usbdevfs_urb, buffer),
                                            (gsize)s->buffer_length, NULL);
  }
  guint8 ep = s->endpoint;
  if (s->buffer_length < 0 || (s->buffer_length > 0 && u->buffer == NULL)) {
    err = EFAULT;
  } else if (s->type == USBDEVFS_URB_TYPE_CONTROL && (ep & 0x7F) == 0) {
    control_urb(emu, u);
  } else if (s->type != USBDEVFS_URB_TYPE_BULK ||
             (ep != emu->cfg.in_endpoint && ep != emu->cfg.out_endpoint) ||
             (ep == emu->cfg.out_endpoint && emu->cfg.num_endpoints < 2)) {
    err = ENOENT;
  } else if (!emu->stats.claimed) {
    err = EINVAL; /* usbfs claims implicitly; a printer claimed by nobody refuses here */
  } else if (u->is_in) {
    emu->stats.in_urbs++;
    serve_in_urb(emu, u);
  } else {
    emu->stats.out_urbs++;
    out_urb(emu, u);
  }
  if (err == 0) {
    g_queue_push_tail(&h->urbs, u);
  } else {
    urb_free(u);
  }
  return err;
}

static int discard_urb(Q48EmuHandler *h, UMockdevIoctlClient *client) {
  int err = EINVAL; /* not pending: already completed, as usbfs says */
  /* DISCARDURB carries the URB's address itself, not a pointer to it. */
  gulong addr = 0;
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  memcpy(&addr, arg->data, MIN(sizeof addr, (size_t)arg->data_len));
  for (GList *l = h->urbs.head; l != NULL; l = l->next) {
    emu_urb *u = l->data;
    if (u->urb->client_addr == addr && !u->reapable) {
      urb_finish(u, -ENOENT, urb_struct(u)->actual_length);
      err = 0;
      break;
    }
  }
  return err;
}

/* The reaped URB is handed to *reaped: it must outlive the completion that
 * copies it back to the client. */
static int reap_urb(Q48EmuHandler *h, gboolean gone, UMockdevIoctlClient *client, emu_urb **reaped,
                    UMockdevIoctlData **slot) {
  int err = gone ? ENODEV : EAGAIN;
  for (GList *l = h->urbs.head; l != NULL; l = l->next) {
    emu_urb *u = l->data;
    if (u->reapable) {
      *slot = resolve_arg(client, sizeof(void *));
      if (*slot == NULL) {
        err = EFAULT;
      } else {
        umockdev_ioctl_data_set_ptr(*slot, 0, u->urb);
        g_queue_delete_link(&h->urbs, l);
        *reaped = u;
        err = 0;
      }
      break;
    }
  }
  return err;
}

static int get_driver(q48_emu *emu, UMockdevIoctlClient *client) {
  int err = ENODATA;
  UMockdevIoctlData *d = resolve_arg(client, sizeof(struct usbdevfs_getdriver));
  if (d == NULL) {
    return EFAULT;
  }
  struct usbdevfs_getdriver *gd = (struct usbdevfs_getdriver *)d->data;
  if (gd->interface != 0) {
    err = EINVAL;
  } else if (emu->driver_bound) {
    snprintf(gd->driver, sizeof gd->driver, "usblp");
    err = 0;
  } else if (emu->stats.claimed) {
    snprintf(gd->driver, sizeof gd->driver, "usbfs");
    err = 0;
  }
  g_object_unref(d);
  return err;
}

static int driver_ioctl(q48_emu *emu, UMockdevIoctlClient *client) {
  int err = 0;
  UMockdevIoctlData *d = resolve_arg(client, sizeof(struct usbdevfs_ioctl));
  if (d == NULL) {
    return EFAULT;
  }
  struct usbdevfs_ioctl *io = (struct usbdevfs_ioctl *)d->data;
  if (io->ifno != 0) {
    err = EINVAL;
  } else if (io->ioctl_code == (int)USBDEVFS_DISCONNECT) {
    emu->stats.detach_attempts++;
    if (!emu->driver_bound) {
      err = ENODATA;
    } else if (emu->detach_fails) {
      err = EPERM;
    } else {
      emu->driver_bound = 0;
    }
  } else if (io->ioctl_code == (int)USBDEVFS_CONNECT) {
    emu->driver_bound = 1;
  } else {
    err = ENOTTY;
  }
  g_object_unref(d);
  return err;
}

static int set_configuration(q48_emu *emu, UMockdevIoctlClient *client) {
  gboolean ok = FALSE;
  int value = (int)arg_uint(client, &ok);
  int err = 0;
  emu->stats.set_configuration++;
  if (!ok) {
    err = EFAULT;
  } else if (emu->stats.claimed) {
    err = EBUSY;
  } else if (value == 1 || value == 0 || value == -1) {
    emu->configuration = value == 1 ? 1 : 0;
    /* libusb reads the active configuration back from sysfs. */
    umockdev_testbed_set_attribute(emu->testbed, emu->sys_path, "bConfigurationValue",
                                   value == 1 ? "1" : "");
  } else {
    err = EINVAL;
  }
  return err;
}

static int claim_interface(q48_emu *emu, UMockdevIoctlClient *client) {
  gboolean ok = FALSE;
  guint ifno = arg_uint(client, &ok);
  int err = 0;
  emu->stats.claim_attempts++;
  if (!ok) {
    err = EFAULT;
  } else if (ifno != 0 || emu->configuration == 0 || emu->cfg.num_altsettings < 1) {
    err = ENOENT;
  } else if (emu->claim_busy > 0) {
    emu->claim_busy--;
    err = EBUSY;
  } else if (emu->driver_bound) {
    err = EBUSY;
  } else {
    emu->stats.claimed = 1;
  }
  return err;
}

static int release_interface(q48_emu *emu, UMockdevIoctlClient *client) {
  gboolean ok = FALSE;
  guint ifno = arg_uint(client, &ok);
  int err = 0;
  emu->stats.releases++;
  if (!ok) {
    err = EFAULT;
  } else if (ifno != 0 || !emu->stats.claimed) {
    err = EINVAL;
  } else {
    emu->stats.claimed = 0;
  }
  return err;
}

static gboolean handler_handle_ioctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client) {
  Q48EmuHandler *h = (Q48EmuHandler *)base;
  q48_emu *emu = h->emu;
  gulong request = umockdev_ioctl_client_get_request(client);
  long result = 0;
  int err = 0;
  emu_urb *reaped = NULL;
  UMockdevIoctlData *slot = NULL;
  g_mutex_lock(&emu->lock);
  if (emu->trace && request != USBDEVFS_REAPURBNDELAY) {
    UMockdevIoctlData *a = umockdev_ioctl_client_get_arg(client);
    fprintf(stderr, "q48 emu: ioctl 0x%lx arg len %d addr 0x%lx\n", request, a->data_len,
            (unsigned long)a->client_addr);
  }
  /* A node of an earlier plug-in is as dead as the printer while it is out. */
  gboolean gone = emu->unplugged || h != emu->handler;
  if (gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
      request != USBDEVFS_DISCARDURB) {
    err = ENODEV;
  } else if (request == USBDEVFS_GET_CAPABILITIES) {
    /* One URB per transfer: libusb then never splits a bulk transfer. */
    guint32 caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    UMockdevIoctlData *d = resolve_arg(client, sizeof caps);
    if (d == NULL) {
      err = EFAULT;
    } else {
      memcpy(d->data, &caps, sizeof caps);
      g_object_unref(d);
    }
  } else if (request == USBDEVFS_SETCONFIGURATION) {
    err = set_configuration(emu, client);
  } else if (request == USBDEVFS_GETDRIVER) {
    err = get_driver(emu, client);
  } else if (request == USBDEVFS_IOCTL) {
    err = driver_ioctl(emu, client);
  } else if (request == USBDEVFS_CLAIMINTERFACE) {
    err = claim_interface(emu, client);
  } else if (request == USBDEVFS_RELEASEINTERFACE) {
    err = release_interface(emu, client);
  } else if (request == USBDEVFS_SUBMITURB) {
    err = submit_urb(emu, h, client);
  } else if (request == USBDEVFS_DISCARDURB) {
    err = discard_urb(h, client);
  } else if (request == USBDEVFS_REAPURBNDELAY) {
    err = reap_urb(h, gone, client, &reaped, &slot);
  } else if (request == USBDEVFS_CLEAR_HALT || request == USBDEVFS_RESET ||
             request == USBDEVFS_RESETEP) {
    err = 0;
  } else {
    err = ENOTTY;
  }
  if (err != 0) {
    result = -1;
  }
  umockdev_ioctl_client_complete(client, result, err);
  g_mutex_unlock(&emu->lock);
  if (slot != NULL) {
    g_object_unref(slot);
  }
  if (reaped != NULL) {
    urb_free(reaped);
  }
  return TRUE;
}

static void q48_emu_handler_class_init(Q48EmuHandlerClass *klass) {
  UMockdevIoctlBaseClass *base = UMOCKDEV_IOCTL_BASE_CLASS(klass);
  base->handle_ioctl = handler_handle_ioctl;
  base->client_connected = handler_client_connected;
}

static void q48_emu_handler_init(Q48EmuHandler *self) {
  self->emu = NULL;
  g_queue_init(&self->urbs);
}

static void handler_free(Q48EmuHandler *h) {
  umockdev_testbed_detach_ioctl(h->emu->testbed, h->dev_path, NULL);
  g_queue_clear_full(&h->urbs, (GDestroyNotify)urb_free);
  g_object_unref(h);
}

/* ---- descriptors and the testbed -------------------------------------- */

static size_t build_descriptors(const q48_emu_config *cfg, int has_serial, guint8 *d) {
  size_t n = 0;
  const guint8 device[18] = {18,
                             1,
                             0x00,
                             0x02, /* USB 2.0 */
                             0,
                             0,
                             0,
                             64,
                             (guint8)(cfg->vendor_id & 0xFF),
                             (guint8)(cfg->vendor_id >> 8),
                             (guint8)(cfg->product_id & 0xFF),
                             (guint8)(cfg->product_id >> 8),
                             0x00,
                             0x01,
                             1, /* iManufacturer */
                             2, /* iProduct */
                             (guint8)(has_serial ? 3 : 0),
                             1};
  memcpy(d, device, sizeof device);
  n = sizeof device;
  size_t config_at = n;
  const guint8 config[9] = {9, 2, 0, 0, 1 /* interfaces */, 1 /* value */, 0, 0xC0, 50};
  memcpy(d + n, config, sizeof config);
  n += sizeof config;
  for (int alt = 0; alt < cfg->num_altsettings; alt++) {
    const guint8 iface[9] = {9, 4, 0, (guint8)alt, (guint8)cfg->num_endpoints, 7, 1, 2, 0};
    memcpy(d + n, iface, sizeof iface);
    n += sizeof iface;
    guint8 eps[2] = {cfg->in_endpoint, cfg->out_endpoint};
    for (int e = 0; e < cfg->num_endpoints && e < 2; e++) {
      const guint8 ep[7] = {7,
                            5,
                            eps[e],
                            2 /* bulk */,
                            (guint8)(cfg->max_packet_size & 0xFF),
                            (guint8)(cfg->max_packet_size >> 8),
                            0};
      memcpy(d + n, ep, sizeof ep);
      n += sizeof ep;
    }
  }
  size_t total = n - config_at;
  d[config_at + 2] = (guint8)(total & 0xFF);
  d[config_at + 3] = (guint8)(total >> 8);
  return n;
}

void q48_emu_config_default(q48_emu_config *cfg) {
  if (cfg != NULL) {
    cfg->vendor_id = 0x2F7A;
    cfg->product_id = 0x0001;
    cfg->busnum = 1;
    cfg->devnum = 11;
    cfg->num_altsettings = 1;
    cfg->num_endpoints = 2;
    cfg->in_endpoint = 0x81;
    cfg->out_endpoint = 0x02;
    cfg->max_packet_size = 64;
    cfg->configured = 1;
    cfg->serial = "Q48EMU0001";
    cfg->device_id = NULL;
    cfg->lp = -1;
  }
}

/* Adds the interface that usblp is bound to and its line-printer node. */
static gboolean add_lp_node(q48_emu *emu, GError **error) {
  char *iface = g_strdup_printf("%s/%d-%d:1.0", emu->sys_path + strlen("/sys"), emu->cfg.busnum,
                                emu->cfg.devnum);
  char *record = g_strdup_printf(
      "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=07\n", iface);
  gboolean ok = umockdev_testbed_add_from_string(emu->testbed, record, error);
  g_free(record);
  record = g_strdup_printf("P: %s/usbmisc/lp%d\nN: usb/lp%d\nE: SUBSYSTEM=usbmisc\n"
                           "E: DEVNAME=/dev/usb/lp%d\n",
                           iface, emu->cfg.lp, emu->cfg.lp, emu->cfg.lp);
  ok = ok && umockdev_testbed_add_from_string(emu->testbed, record, error);
  g_free(record);
  g_free(iface);
  return ok;
}

/* Adds the printer to the testbed at cfg's bus and address: its sysfs entry,
 * and a node with a handler of its own. */
static gboolean plug_in(q48_emu *emu, GError **error) {
  snprintf(emu->dev_path, sizeof emu->dev_path, "/dev/bus/usb/%03d/%03d", emu->cfg.busnum,
           emu->cfg.devnum);
  g_free(emu->sys_path);
  /* Named after bus and address, so that printers beside each other differ. */
  emu->sys_path = g_strdup_printf("/sys/devices/pci0000:00/usb%d/%d-%d", emu->cfg.busnum,
                                  emu->cfg.busnum, emu->cfg.devnum);
  /* The node must exist as a file with contents for the preload to route
   * its open to the handler. */
  char *record = g_strdup_printf("P: %s\n"
                                 "N: bus/usb/%03d/%03d=00\n"
                                 "E: SUBSYSTEM=usb\n"
                                 "E: DEVTYPE=usb_device\n"
                                 "E: DEVNAME=%s\n"
                                 "E: BUSNUM=%03d\n"
                                 "E: DEVNUM=%03d\n"
                                 "E: PRODUCT=%x/%x/100\n"
                                 "A: busnum=%d\n"
                                 "A: devnum=%d\n"
                                 "A: speed=480\n"
                                 "A: idVendor=%04x\n"
                                 "A: idProduct=%04x\n"
                                 "A: bNumConfigurations=1\n"
                                 "A: bConfigurationValue=%s\n"
                                 "A: manufacturer=%s\n"
                                 "A: product=%s\n",
                                 emu->sys_path + strlen("/sys"), emu->cfg.busnum, emu->cfg.devnum,
                                 emu->dev_path, emu->cfg.busnum, emu->cfg.devnum,
                                 emu->cfg.vendor_id, emu->cfg.product_id, emu->cfg.busnum,
                                 emu->cfg.devnum, emu->cfg.vendor_id, emu->cfg.product_id,
                                 emu->configuration == 1 ? "1" : "", kManufacturer, kProduct);
  gboolean ok = umockdev_testbed_add_from_string(emu->testbed, record, error);
  g_free(record);
  if (ok && emu->cfg.lp >= 0) {
    ok = add_lp_node(emu, error);
  }
  if (ok && emu->serial[0] != '\0') {
    /* Byte for byte, as the kernel writes it: the record format would take
     * neither bytes that are no UTF-8 nor a CR. */
    char *line = g_strconcat(emu->serial, "\n", NULL);
    umockdev_testbed_set_attribute_binary(emu->testbed, emu->sys_path, "serial", line,
                                          (gint)strlen(line));
    g_free(line);
  }
  if (ok) {
    umockdev_testbed_set_attribute_binary(emu->testbed, emu->sys_path, "descriptors",
                                          emu->descriptors, (gint)emu->descriptors_len);
    Q48EmuHandler *h = g_object_new(q48_emu_handler_get_type(), NULL);
    h->emu = emu;
    g_strlcpy(h->dev_path, emu->dev_path, sizeof h->dev_path);
    ok = umockdev_testbed_attach_ioctl(emu->testbed, emu->dev_path, UMOCKDEV_IOCTL_BASE(h), error);
    if (ok) {
      g_mutex_lock(&emu->lock);
      emu->handler = h;
      g_mutex_unlock(&emu->lock);
    } else {
      g_object_unref(h);
    }
  }
  return ok;
}

static q48_emu *emu_new(const q48_emu_config *cfg, UMockdevTestbed *testbed) {
  q48_emu *emu = g_new0(q48_emu, 1);
  if (cfg != NULL) {
    emu->cfg = *cfg;
  } else {
    q48_emu_config_default(&emu->cfg);
  }
  if (emu->cfg.num_altsettings < 0 || emu->cfg.num_altsettings > 8 || emu->cfg.num_endpoints < 0 ||
      emu->cfg.num_endpoints > 2 || emu->cfg.busnum < 1 || emu->cfg.busnum > 999 ||
      emu->cfg.devnum < 1 || emu->cfg.devnum > 999) {
    g_free(emu);
    return NULL;
  }
  g_mutex_init(&emu->lock);
  g_queue_init(&emu->answers);
  emu->received = g_byte_array_new();
  emu->trace = g_getenv("Q48_EMU_TRACE") != NULL;
  emu->accept_per_urb = SIZE_MAX;
  emu->out_mode = Q48_EMU_OUT_ACCEPT;
  emu->configuration = emu->cfg.configured ? 1 : 0;
  if (emu->cfg.serial != NULL) {
    g_strlcpy(emu->serial, emu->cfg.serial, sizeof emu->serial);
  }
  if (emu->cfg.device_id != NULL) {
    g_strlcpy(emu->device_id, emu->cfg.device_id, sizeof emu->device_id);
  } else {
    g_snprintf(emu->device_id, sizeof emu->device_id, "MFG:%s;MDL:%s;CMD:ESC/POS;CLS:PRINT;%s%s%s",
               kManufacturer, kProduct, emu->serial[0] != '\0' ? "SN:" : "", emu->serial,
               emu->serial[0] != '\0' ? ";" : "");
  }
  /* Point at our own copies: the caller's strings may not outlive us. */
  emu->cfg.serial = emu->serial;
  emu->cfg.device_id = emu->device_id;
  emu->descriptors_len = build_descriptors(&emu->cfg, emu->serial[0] != '\0', emu->descriptors);

  /* A testbed of its own makes itself the one that UMOCKDEV_DIR names. */
  emu->testbed = testbed != NULL ? g_object_ref(testbed) : umockdev_testbed_new();
  emu->root_dir = umockdev_testbed_get_root_dir(emu->testbed);
  GError *error = NULL;
  if (!plug_in(emu, &error)) {
    if (error != NULL) {
      fprintf(stderr, "q48 emulated printer: %s\n", error->message);
      g_error_free(error);
    }
    q48_emu_free(emu);
    emu = NULL;
  }
  return emu;
}

q48_emu *q48_emu_new(const q48_emu_config *cfg) { return emu_new(cfg, NULL); }

q48_emu *q48_emu_new_beside(q48_emu *beside, const q48_emu_config *cfg) {
  return beside != NULL ? emu_new(cfg, beside->testbed) : NULL;
}

void q48_emu_free(q48_emu *emu) {
  if (emu == NULL) {
    return;
  }
  if (emu->handler != NULL) {
    handler_free(emu->handler);
    /* Printers beside it stay; it leaves their listing. */
    umockdev_testbed_remove_device(emu->testbed, emu->sys_path);
  }
  g_list_free_full(emu->old_handlers, (GDestroyNotify)handler_free);
  g_clear_object(&emu->testbed);
  g_mutex_lock(&emu->lock);
  g_queue_clear_full(&emu->answers, (GDestroyNotify)answer_free);
  g_mutex_unlock(&emu->lock);
  g_byte_array_unref(emu->received);
  g_mutex_clear(&emu->lock);
  g_free(emu->root_dir);
  g_free(emu->sys_path);
  g_free(emu);
}

/* Completes what the current node has pending as an unplug does. */
static void fail_pending_urbs(q48_emu *emu) {
  for (GList *l = emu->handler != NULL ? emu->handler->urbs.head : NULL; l != NULL; l = l->next) {
    emu_urb *u = l->data;
    if (!u->reapable) {
      /* What an OUT URB had handed over is on the printer's side already. */
      urb_finish(u, -ENODEV, u->is_in ? 0 : urb_struct(u)->actual_length);
    }
  }
}

int q48_emu_replug(q48_emu *emu, int devnum) {
  if (devnum < 0 || devnum > 999) {
    return 0;
  }
  g_mutex_lock(&emu->lock);
  emu->unplugged = 1;
  fail_pending_urbs(emu);
  Q48EmuHandler *old = emu->handler;
  emu->handler = NULL;
  g_mutex_unlock(&emu->lock);
  if (old != NULL) {
    umockdev_testbed_remove_device(emu->testbed, emu->sys_path);
    emu->old_handlers = g_list_prepend(emu->old_handlers, old);
  }
  if (devnum == 0) {
    return 1;
  }
  /* An address comes round again: its earlier node makes way. */
  char path[64];
  snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", emu->cfg.busnum, devnum);
  for (GList *l = emu->old_handlers; l != NULL; l = l->next) {
    Q48EmuHandler *h = l->data;
    if (strcmp(h->dev_path, path) == 0) {
      emu->old_handlers = g_list_delete_link(emu->old_handlers, l);
      handler_free(h);
      break;
    }
  }
  emu->cfg.devnum = devnum;
  GError *error = NULL;
  gboolean ok = plug_in(emu, &error);
  if (error != NULL) {
    fprintf(stderr, "q48 emulated printer: %s\n", error->message);
    g_error_free(error);
  }
  g_mutex_lock(&emu->lock);
  emu->unplugged = !ok;
  g_mutex_unlock(&emu->lock);
  return ok ? 1 : 0;
}

const char *q48_emu_root_dir(const q48_emu *emu) { return emu->root_dir; }

const char *q48_emu_device_path(const q48_emu *emu) { return emu->dev_path; }

void q48_emu_queue_answer(q48_emu *emu, const void *data, size_t len) {
  if (len == 0) {
    return;
  }
  emu_answer *a = g_new0(emu_answer, 1);
  a->bytes = g_bytes_new(data, len);
  g_mutex_lock(&emu->lock);
  g_queue_push_tail(&emu->answers, a);
  serve_pending_in_urbs(emu);
  g_mutex_unlock(&emu->lock);
}

size_t q48_emu_pending_answer_bytes(q48_emu *emu) {
  size_t n = 0;
  g_mutex_lock(&emu->lock);
  for (GList *l = emu->answers.head; l != NULL; l = l->next) {
    emu_answer *a = l->data;
    n += g_bytes_get_size(a->bytes) - a->offset;
  }
  g_mutex_unlock(&emu->lock);
  return n;
}

void q48_emu_set_out_behaviour(q48_emu *emu, size_t accept_per_urb, enum q48_emu_out_mode mode) {
  g_mutex_lock(&emu->lock);
  emu->accept_per_urb = accept_per_urb;
  emu->out_mode = mode;
  g_mutex_unlock(&emu->lock);
}

void q48_emu_set_claim_busy(q48_emu *emu, int attempts) {
  g_mutex_lock(&emu->lock);
  emu->claim_busy = attempts;
  g_mutex_unlock(&emu->lock);
}

void q48_emu_set_kernel_driver(q48_emu *emu, int bound, int detach_fails) {
  g_mutex_lock(&emu->lock);
  emu->driver_bound = bound != 0;
  emu->detach_fails = detach_fails != 0;
  g_mutex_unlock(&emu->lock);
}

void q48_emu_unplug(q48_emu *emu) {
  g_mutex_lock(&emu->lock);
  emu->unplugged = 1;
  fail_pending_urbs(emu);
  g_mutex_unlock(&emu->lock);
}

void q48_emu_get_stats(q48_emu *emu, q48_emu_stats *stats) {
  g_mutex_lock(&emu->lock);
  *stats = emu->stats;
  stats->driver_bound = emu->driver_bound;
  g_mutex_unlock(&emu->lock);
}

size_t q48_emu_received(q48_emu *emu, unsigned char *buf, size_t cap) {
  g_mutex_lock(&emu->lock);
  size_t n = emu->received->len;
  if (buf != NULL && cap > 0) {
    memcpy(buf, emu->received->data, n < cap ? n : cap);
  }
  g_mutex_unlock(&emu->lock);
  return n;
}

void q48_emu_clear_received(q48_emu *emu) {
  g_mutex_lock(&emu->lock);
  g_byte_array_set_size(emu->received, 0);
  g_mutex_unlock(&emu->lock);
}
