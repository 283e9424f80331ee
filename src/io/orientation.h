// Turning a decoded picture the way its EXIF orientation tells a viewer to
// show it.
#ifndef VELMORA_ORIENTATION_H
#define VELMORA_ORIENTATION_H

#include "rgba_image.h"

// Replaces *img by the picture as a viewer shows it for EXIF `orientation`:
// 2 mirrored left to right, 3 turned half round, 4 mirrored top to bottom,
// 5 mirrored along the main diagonal (transposed), 6 turned a quarter
// clockwise, 7 mirrored along the other diagonal, 8 turned a quarter
// anticlockwise; 5 to 8 swap width and height. Orientation 1 and values
// outside 2..8 change nothing. Returns false, leaving *img as it was, when
// the turned copy (5 to 8) cannot be allocated.
bool apply_orientation(rgba_image *img, int orientation);

#endif
