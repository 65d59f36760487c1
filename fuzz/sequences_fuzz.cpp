// The layer's in-memory security calls and its message calls, driven by
// the fuzzer's bytes through the same call sequences that the conformance
// test runs against Windows' own implementation under Wine. Every object a
// call is given is a heap block of exactly the size its caller promises,
// so that a read or a write past it, a leak, or undefined behaviour stops
// the run.
#include <stdint.h>
#include <stdio.h>

#include "layer.h"
#include "sequences.h"

static FILE *sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    struct choices c;

    if (sink == NULL)
        sink = fopen("/dev/null", "w");
    choices_from_bytes(&c, data, size);
    run_sequence(&c, "f", 64, sink);
    return 0;
}
