// Placing a watermark on an image and blending it in.
#ifndef VELMORA_COMPOSITE_H
#define VELMORA_COMPOSITE_H

#include "imgwatermark.h"  // the position codes
#include "rgba_image.h"

// Margin from the image edge on one axis: 20 for sizes of 100 and up, else
// max(4, size / 10); where the watermark does not fit between two such
// margins it is centred on that axis instead (or pinned at 0 when it is at
// least as large as the image).
int edge_margin(int size, int wm_size);

// Lays `watermark` onto `image` at one of the positions (POS_CENTER ...
// POS_TILE; any other code centres) with its alpha scaled by `opacity`.
// Opacity above 1 acts as 1; at or below 0, or NaN, nothing changes.
void apply_watermark(rgba_image *image, const rgba_image *watermark, int position, float opacity);

// Blends one copy of `watermark` with its top-left pixel at image position
// (x0, y0), any value, clipped to the image: straight-alpha "over" with the
// watermark alpha scaled by opacity (expected in (0, 1]).
void stamp_one(rgba_image *image, const rgba_image *watermark, int x0, int y0, float opacity);

#endif
