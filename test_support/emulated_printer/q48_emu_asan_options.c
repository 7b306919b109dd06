/*
 * Linked into every test program that runs under umockdev's preload. The
 * preload then sits ahead of the sanitizer runtime in the load order, which
 * AddressSanitizer refuses by default; the preload only wraps libc calls, so
 * the order is harmless. Without a sanitizer nothing refers to this.
 */
const char *__asan_default_options(void);
const char *__asan_default_options(void) { return "verify_asan_link_order=0"; }
