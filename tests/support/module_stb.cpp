// The module keeps its stb copy hidden, so programs that load the module and
// also decode or encode files in their checks bring their own.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image.h"
#include "stb_image_write.h"
