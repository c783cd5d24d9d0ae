#pragma once

#include <cstdint>

// After a receive event that took `bytes` from a link: a flood brings megabytes in one
// event, whose buffers, once freed, lie in the heap among what is kept for good (the
// text, packed) and would stay resident, the heap growing with every such event. After
// an event of a megabyte or more they are given back to the system (a cheap walk over
// the free memory; while the text trickles in, nothing is done).
void trimHeapAfterReceive(std::uint64_t bytes);
