// The one translation unit that compiles the stb decoders, encoders and font
// rasterizer into the library. Their symbols keep hidden visibility, so the
// module never exports them nor binds to another copy loaded in the host.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_TRUETYPE_IMPLEMENTATION

#include "stb_image.h"
#include "stb_image_write.h"
#include "stb_truetype.h"

// stb_image keeps its failure reason per thread and never clears it, and some
// corrupt GIFs fail leaving it empty: the loader resets it before each decode
// so that a message never carries an older file's reason.
void reset_decoder_failure_reason() { stbi__g_failure_reason = nullptr; }
