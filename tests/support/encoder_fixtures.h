// Pictures and sizes for checking an encoder against a reference encoder:
// contents that stress different parts of a codec, and sizes around the
// block and row boundaries where edge handling goes wrong.
#ifndef VELMORA_ENCODER_FIXTURES_H
#define VELMORA_ENCODER_FIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

enum class content {
    noise,       // independent random bytes, alpha included
    gradient,    // smooth ramps in every channel
    solid,       // one colour everywhere
    alpha_ramp,  // constant colour, alpha rising left to right
    photo,       // smooth areas, hard edges, fine texture and some noise
};

// xorshift32: the same noise on every platform.
uint32_t next_random(uint32_t *state);

const char *content_name(content c);

// The contents in the order above.
const std::vector<content> &all_contents();

// A w x h picture of the given content; `seed` varies the noise.
picture make_content(content c, int w, int h, uint32_t seed = 1);

struct test_size {
    int w, h;
};

// Small awkward sizes: 1 x 1, single rows and columns, sizes just around the
// 8 x 8 block and the 16 x 16 macro block, odd widths.
const std::vector<test_size> &small_sizes();

// A byte collector with the encoders' write-callback shape.
struct collected {
    bytes data;
    static void append(void *context, void *data, int size);
};

#endif
