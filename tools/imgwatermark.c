/* imgwatermark: a command-line host for the velmora-imgwatermark library.
 * It parses flags, calls one exported function, and reports the library's own
 * result and message. It does no image work itself. */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "imgwatermark.h"

/* The project's version, given by the build. */
#ifndef IMGWATERMARK_VERSION
#error "IMGWATERMARK_VERSION must be defined by the build"
#endif

static void usage(FILE *to) {
    fputs(
        "usage:\n"
        "  imgwatermark text  --in FILE --out FILE --text TEXT [--size N] [--opacity F]\n"
        "                     [--angle DEG] [--position P] [--color R,G,B]\n"
        "  imgwatermark image --in FILE --out FILE --mark FILE [--opacity F] [--position P]\n"
        "                     [--scale F]\n"
        "  imgwatermark batch --in DIR --out DIR --text TEXT [--size N] [--opacity F]\n"
        "                     [--position P]\n"
        "  imgwatermark --version\n"
        "\n"
        "  --size      font size in pixels; 0 or less means 32 (default 0)\n"
        "  --opacity   0..1; above 1 acts as 1, 0 or less draws nothing (default 1)\n"
        "  --angle     degrees, counter-clockwise (default 0)\n"
        "  --position  center, top-left, top-right, bottom-left, bottom-right, tile,\n"
        "              or the code 0..5 (default center)\n"
        "  --color     text colour, each 0..255 (default 255,255,255)\n"
        "  --scale     watermark size factor; 0 or 1 keeps its size (default 1)\n"
        "  In TEXT, the two characters \\n start a new line.\n"
        "The output format follows the output name (.jpg .jpeg .png .bmp), else the input's.\n"
        "Exit status 0 on success, 1 on failure (the library's message goes to stderr);\n"
        "batch prints the number of images written.\n",
        to);
}

struct options {
    const char *in, *out, *text, *mark;
    int size, position, red, green, blue;
    float opacity, angle, scale;
};

static int parse_int(const char *s, int *out) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < INT_MIN || v > INT_MAX) return 0;
    *out = (int)v;
    return 1;
}

static int parse_float(const char *s, float *out) {
    char *end;
    errno = 0;
    float v = strtof(s, &end);
    if (end == s || *end) return 0;
    *out = v;
    return 1;
}

static int parse_position(const char *s, int *out) {
    static const char *names[] = {"center", "top-left", "top-right", "bottom-left", "bottom-right", "tile"};
    for (int i = 0; i < 6; ++i) {
        if (strcmp(s, names[i]) == 0) {
            *out = i;
            return 1;
        }
    }
    return parse_int(s, out);
}

static int parse_color(const char *s, struct options *o) {
    char extra;
    return sscanf(s, "%d,%d,%d%c", &o->red, &o->green, &o->blue, &extra) == 3;
}

/* Turns each two-character "\n" into a line break, in place. */
static char *unescape_newlines(char *s) {
    char *w = s;
    for (const char *r = s; *r; ++r) {
        if (r[0] == '\\' && r[1] == 'n') {
            *w++ = '\n';
            ++r;
        } else {
            *w++ = *r;
        }
    }
    *w = '\0';
    return s;
}

/* 1 for the flags the commands take, each followed by its value. */
static int is_known_flag(const char *flag) {
    static const char *flags[] = {"--in",      "--out",   "--text",  "--mark",     "--size",
                                  "--opacity", "--angle", "--scale", "--position", "--color"};
    for (size_t i = 0; i < sizeof flags / sizeof flags[0]; ++i)
        if (strcmp(flag, flags[i]) == 0) return 1;
    return 0;
}

static int parse_args(int argc, char **argv, struct options *o) {
    for (int i = 2; i < argc; ++i) {
        const char *flag = argv[i];
        /* An unknown flag is named as such, even as the last word. */
        if (!is_known_flag(flag)) {
            fprintf(stderr, "imgwatermark: unknown flag %s\n", flag);
            return 0;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "imgwatermark: %s needs a value\n", flag);
            return 0;
        }
        char *value = argv[++i];
        int ok = 1;
        if (strcmp(flag, "--in") == 0) o->in = value;
        else if (strcmp(flag, "--out") == 0) o->out = value;
        else if (strcmp(flag, "--text") == 0) o->text = unescape_newlines(value);
        else if (strcmp(flag, "--mark") == 0) o->mark = value;
        else if (strcmp(flag, "--size") == 0) ok = parse_int(value, &o->size);
        else if (strcmp(flag, "--opacity") == 0) ok = parse_float(value, &o->opacity);
        else if (strcmp(flag, "--angle") == 0) ok = parse_float(value, &o->angle);
        else if (strcmp(flag, "--scale") == 0) ok = parse_float(value, &o->scale);
        else if (strcmp(flag, "--position") == 0) ok = parse_position(value, &o->position);
        else ok = parse_color(value, o); /* --color, the last known flag */
        if (!ok) {
            fprintf(stderr, "imgwatermark: bad value for %s: %s\n", flag, value);
            return 0;
        }
    }
    return 1;
}

int main(int argc, char **argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("imgwatermark %s\n", IMGWATERMARK_VERSION);
        return 0;
    }
    struct options o = {NULL, NULL, NULL, NULL, 0, IMGWATERMARK_POS_CENTER, 255, 255, 255, 1.0f, 0.0f, 1.0f};
    if (!parse_args(argc, argv, &o)) return 1;

    const char *command = argv[1];
    if (strcmp(command, "text") == 0) {
        if (imgwatermark_text(o.in, o.out, o.text, o.size, o.opacity, o.angle, o.position, o.red, o.green,
                              o.blue))
            return 0;
    } else if (strcmp(command, "image") == 0) {
        if (imgwatermark_image(o.in, o.out, o.mark, o.opacity, o.position, o.scale)) return 0;
    } else if (strcmp(command, "batch") == 0) {
        int written = imgwatermark_batch(o.in, o.out, o.text, o.size, o.opacity, o.position);
        printf("%d\n", written);
        if (written > 0) return 0;
    } else {
        fprintf(stderr, "imgwatermark: unknown command %s (try --help)\n", command);
        return 1;
    }
    fprintf(stderr, "imgwatermark: %s\n", imgwatermark_last_error());
    return 1;
}
