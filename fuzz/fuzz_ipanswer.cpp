// libFuzzer entry point for the address answer: ParseIpAnswer on any text, from the default address
// and after an incomplete answer. The input's meaning and the invariants checked are described in
// addressfuzz.h; an input that breaks one prints what broke and aborts.

#define QUORLANE_FUZZ_NAME "fuzz_ipanswer"
#define QUORLANE_FUZZ_RUN addressfuzz::ipAnswer
#include "addressfuzz_main.h"
