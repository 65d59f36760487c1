// Random call sequences over the layer's in-memory security calls and its
// message calls, with arguments drawn valid and malformed. Built natively
// and for Windows, the same sequence number gives the same calls on both,
// so that their traces can be compared; the fuzz target draws the same
// calls from its input instead.
#ifndef ZIRM_TESTS_SEQUENCES_H
#define ZIRM_TESTS_SEQUENCES_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Where the calls' choices come from: a pseudo-random stream started from
// a sequence number, or bytes (which, when they run out, end the sequence).
struct choices {
    uint64_t state;
    const uint8_t *bytes;
    size_t size, at;
};

void choices_from_number(struct choices *c, uint32_t number);
void choices_from_bytes(struct choices *c, const uint8_t *bytes, size_t size);

// Runs one sequence of at most `calls` calls, one trace line each to `out`,
// every line starting with `id`. Everything it allocates is freed again.
void run_sequence(struct choices *c, const char *id, int calls, FILE *out);

#endif
