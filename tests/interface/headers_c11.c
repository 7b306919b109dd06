/* Both public headers compile as strict C11, and declare the types that C
 * callers (and bindings from other languages) rely on. */
#include "Q48_Api.h"
#include "Q48_Tb.h"

#include <stdio.h>
#include <string.h>

#define SAME_TYPE(expr, type) _Generic((expr), type : 1, default : 0)

_Static_assert(SAME_TYPE(Q48_api_printer_open, intptr_t (*)(char *)), "open returns intptr_t");
_Static_assert(SAME_TYPE(Q48_api_printer_write,
                         int (*)(intptr_t, unsigned char *, int, unsigned long)),
               "write takes an unsigned long time-out");
_Static_assert(SAME_TYPE(Q48_api_printer_read,
                         int (*)(intptr_t, unsigned char *, int, unsigned long)),
               "read takes an unsigned long time-out");
_Static_assert(SAME_TYPE(Q48_api_printer_set_serial, int (*)(intptr_t, unsigned long, unsigned char,
                                                             unsigned char, unsigned char)),
               "set_serial");
_Static_assert(SAME_TYPE(Q48_api_printer_close, void (*)(intptr_t)), "close");
_Static_assert(SAME_TYPE(Q48_api_printer_clear, int (*)(intptr_t)), "clear");
_Static_assert(SAME_TYPE(Q48_api_get_library_info, char *(*)(void)), "library info");
_Static_assert(SAME_TYPE(m_pub_rx_buffer, unsigned char *), "ring storage");
_Static_assert(SAME_TYPE(Q48_tb_calc_age_in_ms, unsigned long (*)(struct timespec *)), "age");
_Static_assert(SAME_TYPE(Q48_tb_cmd_init_coded, int (*)(unsigned char *, unsigned int)),
               "command handles are int");
_Static_assert(Q48_API_VERSION == Q48_RELEASE_VERSION && Q48_TB_VERSION == Q48_RELEASE_VERSION,
               "the headers name the release they belong to");
_Static_assert(Q48_API_READ_NO_MEMORY == -1 && Q48_API_READ_RING_FULL == -2 &&
                   Q48_API_READ_NO_ROOM == -3,
               "read's codes");
_Static_assert(SAME_TYPE(Q48_tb_alloc_mem_cat, void *(*)(void *, void *, unsigned long)), "append");

int main(void) {
  int *const globals[] = {&DEBUG_MESSAGES,       &communication,
                          &Q48_API_ACCESS_WRITE, &Q48_API_ACCESS_READ,
                          &Q48_API_INTERFACE,    &Q48_API_ACCESS_READ_ENDPOINT_SIZE,
                          &m_index_rx_bottom,    &m_index_rx_top};
  const int initial[] = {0, 0, 0x02, 0x81, 0, 64, 0, 0};
  int status = 0;
  for (size_t i = 0; i < sizeof initial / sizeof initial[0]; ++i) {
    if (*globals[i] != initial[i]) {
      printf("global %u starts at %d, expected %d\n", (unsigned)i, *globals[i], initial[i]);
      status = 1;
    }
  }
  if (m_pub_rx_buffer != NULL) {
    puts("the ring storage exists before any open");
    status = 1;
  }
  if (strcmp(Q48_api_get_library_info(), "Mirelvank - libQ48Api - R3-V1.03a - S507312") != 0) {
    puts("wrong access library information");
    status = 1;
  }
  return status;
}
