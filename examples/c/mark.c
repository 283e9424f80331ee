/* mark: the smallest program built against an installed velmora-imgwatermark.
 * It writes INPUT with "(c) Velmora" in white in its top-left corner to OUTPUT.
 *   mark INPUT OUTPUT
 * Exit status 0 on success, 1 with the library's message on failure. */
#include <stdio.h>

#include <imgwatermark.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: mark INPUT OUTPUT\n", stderr);
        return 1;
    }
    if (!imgwatermark_text(argv[1], argv[2], "(c) Velmora", 32, 1.0f, 0.0f, IMGWATERMARK_POS_TOP_LEFT,
                           255, 255, 255)) {
        fprintf(stderr, "mark: %s\n", imgwatermark_last_error());
        return 1;
    }
    return 0;
}
