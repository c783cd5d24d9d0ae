// libFuzzer entry point for the octet boxes' change handling: scripts of program writes, typing,
// backspaces and address answers over the four boxes, in a point and a comma locale.
// The input's meaning and the invariants checked are described in addressfuzz.h; an
// input that breaks one prints what broke and aborts.

#define QUORLANE_FUZZ_NAME "fuzz_octet"
#define QUORLANE_FUZZ_RUN addressfuzz::octetScript
#include "addressfuzz_main.h"
