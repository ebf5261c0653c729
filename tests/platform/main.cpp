#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include "Skip.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  doctest::Context context(argc, argv);
  const int result = context.run();
  PrintSkipReasons(argc, argv);
  return result;
}
