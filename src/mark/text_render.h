// Drawing text with the embedded font into a transparent canvas, and turning
// such a canvas by an angle.
#ifndef VELMORA_TEXT_RENDER_H
#define VELMORA_TEXT_RENDER_H

#include <cstddef>

#include "rgba_image.h"

// Width in pixels of one non-empty line (bytes start[0..length-1]) at `scale`:
// the pen's end after the last advance, rounded up; kerning applies between
// neighbours; glyph overhang is not counted. Returns -1 when the width does
// not fit an int.
int measure_line(const char *start, size_t length, float scale);

// Draws `text` (one byte per character, '\n' breaks lines) at `font_size`
// pixels (<= 0 means 32) in the colour (clamped to 0..255) onto a new canvas
// as large as the widest line plus 8 by the lines' height plus 8, transparent
// except for the glyphs, whose coverage is their alpha. The font must be
// ready. Returns pixels == nullptr when the canvas cannot be sized or
// allocated; a glyph whose bitmap cannot be allocated is left out.
rgba_image render_text(const char *text, int font_size, int red, int green, int blue);

// A new image holding `canvas` turned by `angle_degrees` counter-clockwise
// into its bounding box, sampled bilinearly with alpha weighting; a turn that
// comes to a whole number of revolutions (or a non-finite angle) gives a
// copy. Returns pixels == nullptr when the output cannot be allocated.
rgba_image rotate_rgba(const rgba_image *canvas, float angle_degrees);

#endif
