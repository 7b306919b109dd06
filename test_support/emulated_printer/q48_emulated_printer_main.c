/*
 * q48-emulated-printer: runs a command against the emulated Q48 printer and
 * then shows what the printer received.
 *
 *   q48-emulated-printer [options] -- COMMAND [ARGS...]
 *
 * The printer lives in this process; the command runs as a child under
 * umockdev's preload, so its libusb sees the printer at /dev/bus/usb/001/011.
 * This process needs no preload itself.
 */
#define _GNU_SOURCE 1
#include "q48_emulated_printer.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <glib.h>

static void usage(FILE *to) {
  fputs("usage: q48-emulated-printer [options] -- COMMAND [ARGS...]\n"
        "Runs COMMAND against an emulated Q48 USB printer at /dev/bus/usb/001/011,\n"
        "then prints what the printer received, and exits with COMMAND's status.\n"
        "\n"
        "options:\n"
        "  --answer HEX        queue an answer on the IN endpoint, e.g. 1B40 or \"1B 40\"\n"
        "                      (may be given more than once)\n"
        "  --claim-busy N      the first N claims of the interface fail as busy\n"
        "  --kernel-driver     a kernel driver holds the interface at the start\n"
        "  --detach-fails      ... and cannot be detached\n"
        "  --vendor HEX        USB vendor id (default 2F7A)\n"
        "  --product HEX       USB product id (default 0001)\n"
        "  --accept N          accept at most N bytes per OUT transfer, the rest stays unsent\n"
        "  --serial S          iSerialNumber (default Q48EMU0001; \"\" for none)\n"
        "  --address N         device address on bus 1 (default 11), as after a replug\n"
        "  --lp N              usblp also serves it: sysfs shows /dev/usb/lpN (listing only)\n"
        "  --node-mode OCTAL   permissions of the device node, e.g. 0 for none\n"
        "  --device-id ID      answer to GET_DEVICE_ID (default built from the serial)\n"
        "  --preload LIB       umockdev preload for the child (default libumockdev-preload.so.0)\n"
        "  -h, --help          this text\n"
        "\n"
        "output, after COMMAND ends: \"Printer received N bytes: [0C ...]\", each byte as\n"
        "two upper-case hex digits, separated by blanks (\"1 byte\" for one).\n",
        to);
}

/* Parses "1B40", "1b 40" or "1B:40"; returns NULL on anything else. */
static GByteArray *parse_hex(const char *text) {
  GByteArray *bytes = g_byte_array_new();
  int high = -1;
  for (const char *p = text; *p != '\0'; p++) {
    if (*p == ' ' || *p == ':' || *p == ',') {
      continue;
    }
    int v = g_ascii_xdigit_value(*p);
    if (v < 0) {
      g_byte_array_unref(bytes);
      return NULL;
    }
    if (high < 0) {
      high = v;
    } else {
      guint8 b = (guint8)(high * 16 + v);
      g_byte_array_append(bytes, &b, 1);
      high = -1;
    }
  }
  if (high >= 0 || bytes->len == 0) {
    g_byte_array_unref(bytes);
    return NULL;
  }
  return bytes;
}

static int parse_number(const char *text, int base, long max, long *out) {
  char *end = NULL;
  errno = 0;
  long v = strtol(text, &end, base);
  int ok = errno == 0 && end != text && *end == '\0' && v >= 0 && v <= max;
  if (ok) {
    *out = v;
  }
  return ok;
}

static void print_received(q48_emu *emu) {
  size_t n = q48_emu_received(emu, NULL, 0);
  unsigned char *buf = g_malloc(n + 1);
  n = q48_emu_received(emu, buf, n);
  printf("Printer received %zu byte%s: [", n, n == 1 ? "" : "s");
  for (size_t i = 0; i < n; i++) {
    printf(i == 0 ? "%02X" : " %02X", buf[i]);
  }
  printf("]\n");
  fflush(stdout);
  g_free(buf);
}

int main(int argc, char **argv) {
  q48_emu_config cfg;
  q48_emu_config_default(&cfg);
  GPtrArray *answers = g_ptr_array_new_with_free_func((GDestroyNotify)g_byte_array_unref);
  long claim_busy = 0;
  long accept = -1;
  int kernel_driver = 0;
  int detach_fails = 0;
  long node_mode = -1;
  const char *preload = "libumockdev-preload.so.0";
  int command_at = -1;
  int status = 0;

  for (int i = 1; i < argc && command_at < 0 && status == 0; i++) {
    const char *a = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : NULL;
    long n = 0;
    if (strcmp(a, "--") == 0) {
      command_at = i + 1;
    } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      usage(stdout);
      g_ptr_array_unref(answers);
      return 0;
    } else if (strcmp(a, "--kernel-driver") == 0) {
      kernel_driver = 1;
    } else if (strcmp(a, "--detach-fails") == 0) {
      kernel_driver = 1;
      detach_fails = 1;
    } else if (value == NULL) {
      status = 2;
    } else if (strcmp(a, "--answer") == 0) {
      GByteArray *bytes = parse_hex(value);
      if (bytes == NULL) {
        status = 2;
      } else {
        g_ptr_array_add(answers, bytes);
      }
      i++;
    } else if (strcmp(a, "--claim-busy") == 0 && parse_number(value, 10, 1000000, &n)) {
      claim_busy = n;
      i++;
    } else if (strcmp(a, "--accept") == 0 && parse_number(value, 10, 1L << 30, &n)) {
      accept = n;
      i++;
    } else if (strcmp(a, "--vendor") == 0 && parse_number(value, 16, 0xFFFF, &n)) {
      cfg.vendor_id = (uint16_t)n;
      i++;
    } else if (strcmp(a, "--product") == 0 && parse_number(value, 16, 0xFFFF, &n)) {
      cfg.product_id = (uint16_t)n;
      i++;
    } else if (strcmp(a, "--address") == 0 && parse_number(value, 10, 999, &n) && n > 0) {
      cfg.devnum = (int)n;
      i++;
    } else if (strcmp(a, "--lp") == 0 && parse_number(value, 10, 999, &n)) {
      cfg.lp = (int)n;
      i++;
    } else if (strcmp(a, "--node-mode") == 0 && parse_number(value, 8, 07777, &n)) {
      node_mode = n;
      i++;
    } else if (strcmp(a, "--serial") == 0) {
      cfg.serial = value;
      i++;
    } else if (strcmp(a, "--device-id") == 0) {
      cfg.device_id = value;
      i++;
    } else if (strcmp(a, "--preload") == 0) {
      preload = value;
      i++;
    } else {
      status = 2;
    }
  }
  if (status != 0 || command_at < 0 || command_at >= argc) {
    usage(stderr);
    g_ptr_array_unref(answers);
    return 2;
  }

  q48_emu *emu = q48_emu_new(&cfg);
  if (emu == NULL) {
    fprintf(stderr, "q48-emulated-printer: cannot create the emulated printer\n");
    g_ptr_array_unref(answers);
    return 1;
  }
  for (guint i = 0; i < answers->len; i++) {
    GByteArray *bytes = g_ptr_array_index(answers, i);
    q48_emu_queue_answer(emu, bytes->data, bytes->len);
  }
  g_ptr_array_unref(answers);
  /* The testbed's node stands in for /dev/bus/usb/BBB/DDD: its mode is what a
   * missing udev rule leaves a user with. */
  if (node_mode >= 0) {
    char *node = g_strconcat(q48_emu_root_dir(emu), q48_emu_device_path(emu), NULL);
    int failed = chmod(node, (mode_t)node_mode);
    g_free(node);
    if (failed != 0) {
      fprintf(stderr, "q48-emulated-printer: cannot set the node's mode: %s\n", strerror(errno));
      q48_emu_free(emu);
      return 1;
    }
  }
  q48_emu_set_claim_busy(emu, (int)claim_busy);
  q48_emu_set_kernel_driver(emu, kernel_driver, detach_fails);
  if (accept >= 0) {
    q48_emu_set_out_behaviour(emu, (size_t)accept, Q48_EMU_OUT_TIMEOUT);
  }

  /* The environment is built before spawning: the printer's worker thread is
   * already running, so nothing may allocate between fork and exec. */
  char **env = g_get_environ();
  env = g_environ_setenv(env, "LD_PRELOAD", preload, TRUE);
  env = g_environ_setenv(env, "UMOCKDEV_DIR", q48_emu_root_dir(emu), TRUE);
  /* A sanitized child would refuse to start with the preload ahead of its
   * runtime. */
  const char *asan = g_environ_getenv(env, "ASAN_OPTIONS");
  char *asan_options = g_strdup_printf("verify_asan_link_order=0%s%s", asan != NULL ? ":" : "",
                                       asan != NULL ? asan : "");
  env = g_environ_setenv(env, "ASAN_OPTIONS", asan_options, TRUE);
  g_free(asan_options);

  /* Ctrl-C reaches the child through the terminal; this process stays to
   * report what the printer got until then. */
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);

  /* ... and the child gets the terminal's signals as a program started
   * from the shell does: ignored ones would stay ignored across exec, and a
   * shell script could not even trap them. */
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[command_at], NULL, &attr, argv + command_at, env);
  posix_spawnattr_destroy(&attr);
  g_strfreev(env);
  if (rc != 0) {
    fprintf(stderr, "q48-emulated-printer: cannot run %s: %s\n", argv[command_at], strerror(rc));
    status = 127;
  } else {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
      status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
      status = 128 + WTERMSIG(wstatus);
    } else {
      status = 1;
    }
    fflush(stdout);
    print_received(emu);
  }
  q48_emu_free(emu);
  return status;
}
