#include "platform/base/heaptrim.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void trimHeapAfterReceive(std::uint64_t bytes) {
#if defined(__GLIBC__)
    if (bytes >= (std::uint64_t(1) << 20))
        ::malloc_trim(0);
#else
    (void)bytes;
#endif
}
