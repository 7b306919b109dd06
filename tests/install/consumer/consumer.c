/* Builds against the installed headers and libraries only, and checks that
 * both libraries load and work: a coded text turned into bytes, and an open
 * of a path no printer is at giving open's code. */
#include <stdio.h>
#include <string.h>

#include <Q48_Api.h>
#include <Q48_Tb.h>

int main(void) {
  unsigned char text[] = "[1B 40] \"Hi\" \\n";
  int cmd = Q48_tb_cmd_init_coded(text, (unsigned int)strlen((char *)text));
  unsigned char *raw = NULL;
  unsigned int size = 0;
  const unsigned char want[] = {0x1B, 0x40, 'H', 'i', '\n'};
  int ok = cmd != 0 && Q48_tb_cmd_get_raw(cmd, &raw, &size) && size == sizeof want &&
           memcmp(raw, want, sizeof want) == 0;
  Q48_tb_cmd_exit(cmd);

  char path[] = "/nonexistent/printer";
  ok = ok && Q48_api_printer_open(path) == Q48_API_NO_PRINTER;

  printf("%s\n%s\n%s\n", Q48_tb_get_library_info(), Q48_api_get_library_info(),
         ok ? "consumer: ok" : "consumer: FAILED");
  return ok ? 0 : 1;
}
