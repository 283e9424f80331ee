// The prepared font as stb_truetype reads it, for the code that lays out and
// draws glyphs.
#ifndef VELMORA_FONT_FACE_H
#define VELMORA_FONT_FACE_H

#include "font_data.h"
#include "stb_truetype.h"

// Valid once s_font_ready is 1; points into s_font_data.
extern stbtt_fontinfo s_font;

#endif
