// The one translation unit that compiles the stb decoders, encoders and font
// rasterizer into the library. Their symbols keep hidden visibility, so the
// module never exports them nor binds to another copy loaded in the host.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_TRUETYPE_IMPLEMENTATION

#include "stb_image.h"
#include "stb_image_write.h"
#include "stb_truetype.h"
