// The one translation unit that compiles stb_truetype, the font rasterizer,
// into the library (hidden visibility, like everything inside the module).
#define STB_TRUETYPE_IMPLEMENTATION
#include "stb_truetype.h"
