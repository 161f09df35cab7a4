// A property check for the harnesses: a broken property stops the run with
// a message, so libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                      \
  do {                                                                        \
    if (!(cond)) {                                                            \
      fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                \
    }                                                                         \
  } while (0)
