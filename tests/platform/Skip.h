#pragma once
// Test cases that wine cannot run: skipped there with the reason, run
// natively.

#include <doctest.h>

bool RunningUnderWine();

struct TSkipUnderWine {
  const char *file;
  const char *reason;
};

// A test case decorator: TEST_CASE("..." * SkipUnderWine(__FILE__, "why")).
doctest::skip SkipUnderWine(const char *file, const char *reason);

// Lists the reasons of the skipped cases of the source files this run chose
// (--source-file=*name.cpp).
void PrintSkipReasons(int argc, char **argv);
