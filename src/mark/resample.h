// Scaling a watermark picture.
#ifndef VELMORA_RESAMPLE_H
#define VELMORA_RESAMPLE_H

#include "rgba_image.h"

// A new copy of `watermark` scaled by `scale` to round(scale * size) on each
// axis (at least 1; a size outside the int range also gives 1), sampled
// bilinearly at pixel centres, clamped at the edges and weighted by alpha so
// that transparent pixels lend no colour. Returns pixels == nullptr when the
// output cannot be allocated.
rgba_image resize_rgba(const rgba_image *watermark, float scale);

#endif
