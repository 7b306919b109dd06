// Prints the programs' table of open's codes, one "code<TAB>meaning" a line,
// so that the Python package's copy is checked against what the programs
// really say.
#include <cstdio>

#include "q48_open_codes.h"

int main() {
  for (const q48::open_code &c : q48::open_codes()) {
    std::printf("%ld\t%s\n", static_cast<long>(c.code), c.meaning);
  }
  return 0;
}
