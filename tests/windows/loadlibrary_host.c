/* loadlibrary_host: a Windows host as a customer writes one. It loads
 * velmora-imgwatermark.dll at run time with LoadLibraryA, looks up the six
 * exports by name, and runs a text, an image and a batch watermark on small
 * pictures it writes itself, checking the decoded pixels of every result and
 * the library's error texts. Exit status 0 when every check passed. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

typedef const char *(*last_error_fn)(void);
typedef int (*init_fn)(void);
typedef void (*cleanup_fn)(void);
typedef int (*text_fn)(const char *, const char *, const char *, int, float, float, int, int, int, int);
typedef int (*image_fn)(const char *, const char *, const char *, float, int, float);
typedef int (*batch_fn)(const char *, const char *, const char *, int, float, int);

static last_error_fn wm_last_error;
static init_fn wm_init;
static cleanup_fn wm_cleanup;
static text_fn wm_text;
static image_fn wm_image;
static batch_fn wm_batch;

static int failures = 0;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

static void check_error(const char *expected, int line) {
    const char *got = wm_last_error();
    if (!got || strcmp(got, expected) != 0) {
        fprintf(stderr, "%s:%d: error text \"%s\", expected \"%s\"\n", __FILE__, line, got ? got : "(null)",
                expected);
        ++failures;
    }
}
#define CHECK_ERROR(expected) check_error((expected), __LINE__)

/* ------------------------------------------------------------------------ */
/* Pictures */

struct picture {
    int w, h;
    unsigned char *px; /* RGBA */
};

static struct picture solid(int w, int h, unsigned char r, unsigned char g, unsigned char b) {
    struct picture p;
    p.w = w;
    p.h = h;
    p.px = (unsigned char *)malloc((size_t)w * h * 4);
    for (int i = 0; i < w * h; ++i) {
        p.px[i * 4 + 0] = r;
        p.px[i * 4 + 1] = g;
        p.px[i * 4 + 2] = b;
        p.px[i * 4 + 3] = 255;
    }
    return p;
}

static const unsigned char *pixel(const struct picture *p, int x, int y) {
    return p->px + ((size_t)y * p->w + x) * 4;
}

static int pixel_is(const struct picture *p, int x, int y, int r, int g, int b, int a) {
    const unsigned char *q = pixel(p, x, y);
    return q[0] == r && q[1] == g && q[2] == b && q[3] == a;
}

/* A 24-bit bottom-up BMP, written byte by byte (the alpha is dropped). */
static int write_bmp(const char *path, const struct picture *p) {
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    const int row = (p->w * 3 + 3) & ~3;
    const unsigned data = (unsigned)(row * p->h);
    const unsigned header[13] = {54u + data, 0, 54, 40, (unsigned)p->w, (unsigned)p->h, 0x00180001u, 0, data,
                                 2835, 2835, 0, 0};
    fputc('B', f);
    fputc('M', f);
    for (int i = 0; i < 13; ++i)
        for (int k = 0; k < 4; ++k) fputc((int)((header[i] >> (8 * k)) & 255), f);
    for (int y = p->h - 1; y >= 0; --y) {
        for (int x = 0; x < p->w; ++x) {
            const unsigned char *q = pixel(p, x, y);
            fputc(q[2], f);
            fputc(q[1], f);
            fputc(q[0], f);
        }
        for (int pad = p->w * 3; pad < row; ++pad) fputc(0, f);
    }
    return fclose(f) == 0;
}

static struct picture decode(const char *path) {
    struct picture p = {0, 0, NULL};
    int channels;
    p.px = stbi_load(path, &p.w, &p.h, &channels, 4);
    if (!p.px) p.w = p.h = 0;
    return p;
}

static void release(struct picture *p) {
    free(p->px);
    p->px = NULL;
}

static long file_size(const char *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    return (long)data.nFileSizeLow;
}

static int first_bytes_are(const char *path, const char *magic) {
    unsigned char got[8] = {0};
    size_t n = strlen(magic);
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    size_t read = fread(got, 1, n, f);
    fclose(f);
    return read == n && memcmp(got, magic, n) == 0;
}

static int same_pixels(const struct picture *a, const struct picture *b) {
    return a->w == b->w && a->h == b->h && a->px && b->px && memcmp(a->px, b->px, (size_t)a->w * a->h * 4) == 0;
}

/* True when `pattern` (with wildcards) matches nothing. */
static int no_file_matches(const char *pattern) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h == INVALID_HANDLE_VALUE) return 1;
    fprintf(stderr, "unexpected file %s\n", found.cFileName);
    FindClose(h);
    return 0;
}

static char scratch[MAX_PATH];

static const char *in_scratch(const char *name) {
    static char paths[16][MAX_PATH];
    static int next = 0;
    char *p = paths[next++ % 16];
    snprintf(p, MAX_PATH, "%s\\%s", scratch, name);
    return p;
}

/* ------------------------------------------------------------------------ */
/* Checks */

static void check_exports(HMODULE module) {
    CHECK((void (*)(void))GetProcAddress(module, "imgwatermark_last_error") == (void (*)(void))wm_last_error);
    /* Internals stay inside the module. */
    CHECK(GetProcAddress(module, "set_err") == NULL);
    CHECK(GetProcAddress(module, "load_image") == NULL);
    CHECK(GetProcAddress(module, "stbi_load_from_memory") == NULL);
    CHECK(strcmp(wm_last_error(), "") == 0);
    CHECK(wm_init() == 1);
    CHECK_ERROR("");
}

/* Text: white "Hi" at the top-left of a blue picture. */
static void check_text(void) {
    const int w = 160, h = 80;
    struct picture blue = solid(w, h, 0, 0, 200);
    const char *input = in_scratch("blue.bmp");
    CHECK(write_bmp(input, &blue));

    CHECK(wm_text(input, in_scratch("text.png"), "Hi", 32, 1.0f, 0.0f, 1, 255, 255, 255) == 1);
    CHECK_ERROR("");
    CHECK(first_bytes_are(in_scratch("text.png"), "\x89PNG"));
    struct picture out = decode(in_scratch("text.png"));
    CHECK(out.w == w && out.h == h);
    if (out.w == w && out.h == h) {
        /* Every changed pixel is white blended over the blue, and they all lie
         * inside the top-left margins (x >= 20 for a width of 160, y >= 8 for a
         * height of 80) and in the left half. */
        int changed = 0, x0 = w, y0 = h, x1 = -1, y1 = -1, bad = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const unsigned char *q = pixel(&out, x, y);
                if (pixel_is(&out, x, y, 0, 0, 200, 255)) continue;
                ++changed;
                if (q[0] != q[1] || q[2] < 200 || q[3] != 255) ++bad;
                if (x < x0) x0 = x;
                if (y < y0) y0 = y;
                if (x > x1) x1 = x;
                if (y > y1) y1 = y;
            }
        }
        CHECK(bad == 0);
        CHECK(changed > 100);
        CHECK(x0 >= 20 && y0 >= 8 && x1 < w / 2 && y1 < h);
        /* The glyphs' inside is fully white. */
        int white = 0;
        for (int i = 0; i < w * h; ++i)
            if (out.px[i * 4] == 255 && out.px[i * 4 + 1] == 255 && out.px[i * 4 + 2] == 255) ++white;
        CHECK(white > 20);
    }

    /* The same call again gives the same file; opacity 0 leaves the pixels. */
    CHECK(wm_text(input, in_scratch("text2.png"), "Hi", 32, 1.0f, 0.0f, 1, 255, 255, 255) == 1);
    struct picture again = decode(in_scratch("text2.png"));
    CHECK(same_pixels(&out, &again));
    CHECK(file_size(in_scratch("text.png")) == file_size(in_scratch("text2.png")));
    CHECK(wm_text(input, in_scratch("none.bmp"), "Hi", 32, 0.0f, 0.0f, 1, 255, 255, 255) == 1);
    CHECK(first_bytes_are(in_scratch("none.bmp"), "BM"));
    struct picture none = decode(in_scratch("none.bmp"));
    CHECK(same_pixels(&none, &blue));

    /* Writing over the input replaces it whole and leaves no temporary file. */
    const char *inplace = in_scratch("inplace.bmp");
    CHECK(write_bmp(inplace, &blue));
    CHECK(wm_text(inplace, inplace, "Hi", 32, 1.0f, 0.0f, 1, 255, 255, 255) == 1);
    struct picture replaced = decode(inplace);
    CHECK(same_pixels(&replaced, &out));
    CHECK(no_file_matches(in_scratch("*.tmp")));

    release(&blue);
    release(&out);
    release(&again);
    release(&none);
    release(&replaced);
}

/* Image: an opaque red square on a blue picture, at its size and scaled. */
static void check_image(void) {
    const int w = 64, h = 48;
    struct picture blue = solid(w, h, 0, 0, 200);
    struct picture red = solid(8, 8, 255, 0, 0);
    const char *input = in_scratch("blue64.bmp");
    const char *mark = in_scratch("red8.bmp");
    CHECK(write_bmp(input, &blue));
    CHECK(write_bmp(mark, &red));

    /* Top left, half strength: margins 6 (64 / 10) and 4 (at least 4); the red
     * over blue at 0.5 gives (127.5 + 0.5, 0, 100 + 0.5) truncated. */
    CHECK(wm_image(input, in_scratch("half.png"), mark, 0.5f, 1, 1.0f) == 1);
    CHECK_ERROR("");
    struct picture out = decode(in_scratch("half.png"));
    CHECK(out.w == w && out.h == h);
    if (out.w == w && out.h == h) {
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int inside = x >= 6 && x < 14 && y >= 4 && y < 12;
                if (inside ? !pixel_is(&out, x, y, 128, 0, 100, 255) : !pixel_is(&out, x, y, 0, 0, 200, 255))
                    ++wrong;
            }
        CHECK(wrong == 0);
    }
    release(&out);

    /* Bottom right, doubled to 16 x 16, full strength: corner (64-16-6, 48-16-4). */
    CHECK(wm_image(input, in_scratch("scaled.bmp"), mark, 1.0f, 4, 2.0f) == 1);
    CHECK(first_bytes_are(in_scratch("scaled.bmp"), "BM"));
    out = decode(in_scratch("scaled.bmp"));
    CHECK(out.w == w && out.h == h);
    if (out.w == w && out.h == h) {
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int inside = x >= 42 && x < 58 && y >= 28 && y < 44;
                if (inside ? !pixel_is(&out, x, y, 255, 0, 0, 255) : !pixel_is(&out, x, y, 0, 0, 200, 255))
                    ++wrong;
            }
        CHECK(wrong == 0);
    }
    release(&out);
    release(&blue);
    release(&red);
}

/* Batch: two pictures among other entries, results equal to single calls. */
static void check_batch(void) {
    char dir_in[MAX_PATH], dir_out[MAX_PATH], sub[MAX_PATH], path[MAX_PATH];
    snprintf(dir_in, sizeof dir_in, "%s", in_scratch("batch-in"));
    snprintf(dir_out, sizeof dir_out, "%s", in_scratch("batch-out"));
    CHECK(CreateDirectoryA(dir_in, NULL));
    snprintf(sub, sizeof sub, "%s\\c.png", dir_in);
    CHECK(CreateDirectoryA(sub, NULL)); /* a directory with an image name */

    struct picture green = solid(120, 90, 20, 160, 40);
    snprintf(path, sizeof path, "%s\\a.bmp", dir_in);
    CHECK(write_bmp(path, &green));
    snprintf(path, sizeof path, "%s\\B.BMP", dir_in);
    CHECK(write_bmp(path, &green));
    snprintf(path, sizeof path, "%s\\photo.bmp.bak", dir_in);
    CHECK(write_bmp(path, &green));
    snprintf(path, sizeof path, "%s\\notes.txt", dir_in);
    FILE *f = fopen(path, "wb");
    CHECK(f != NULL);
    if (f) {
        fputs("not an image\n", f);
        fclose(f);
    }

    wm_cleanup();
    CHECK(wm_text(in_scratch("missing.bmp"), in_scratch("x.png"), "x", 0, 1.0f, 0.0f, 0, 0, 0, 0) == 0);
    CHECK(wm_batch(dir_in, dir_out, "PROOF", 24, 0.5f, 4) == 2);
    CHECK_ERROR(""); /* emptied because files were written */

    /* Each result equals the plain white, unturned text call on its input. */
    snprintf(path, sizeof path, "%s\\a.bmp", dir_in);
    CHECK(wm_text(path, in_scratch("single.bmp"), "PROOF", 24, 0.5f, 0.0f, 4, 255, 255, 255) == 1);
    struct picture single = decode(in_scratch("single.bmp"));
    struct picture original = decode(path);
    CHECK(single.w == 120 && !same_pixels(&single, &original));
    const char *names[2] = {"a.bmp", "B.BMP"};
    for (int i = 0; i < 2; ++i) {
        snprintf(path, sizeof path, "%s\\%s", dir_out, names[i]);
        CHECK(first_bytes_are(path, "BM"));
        struct picture got = decode(path);
        CHECK(same_pixels(&got, &single));
        release(&got);
    }
    snprintf(path, sizeof path, "%s\\notes.txt", dir_out);
    CHECK(GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES);
    snprintf(path, sizeof path, "%s\\photo.bmp.bak", dir_out);
    CHECK(GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES);
    snprintf(path, sizeof path, "%s\\c.png", dir_out);
    CHECK(GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES);
    release(&single);
    release(&original);
    release(&green);
}

static void check_errors(void) {
    char expected[2 * MAX_PATH];
    const char *missing = in_scratch("no-such-file.bmp");
    CHECK(wm_text(missing, in_scratch("x.png"), "x", 0, 1.0f, 0.0f, 0, 0, 0, 0) == 0);
    snprintf(expected, sizeof expected, "cannot read file: %s", missing);
    CHECK_ERROR(expected);
    CHECK_ERROR(expected); /* stays readable */
    wm_cleanup();
    CHECK_ERROR("");

    CHECK(wm_image(in_scratch("blue64.bmp"), in_scratch("x.png"), missing, 1.0f, 0, 1.0f) == 0);
    CHECK_ERROR(expected);

    CHECK(wm_text(NULL, in_scratch("x.png"), "x", 0, 1.0f, 0.0f, 0, 0, 0, 0) == 0);
    CHECK_ERROR("invalid arguments (NULL pointer)");
    CHECK(wm_text(in_scratch("blue.bmp"), in_scratch("x.png"), "", 0, 1.0f, 0.0f, 0, 0, 0, 0) == 0);
    CHECK_ERROR("empty text string");
    CHECK(wm_batch(NULL, in_scratch("o"), "x", 0, 1.0f, 0) == 0);
    CHECK_ERROR("batch: invalid arguments (NULL pointer)");

    const char *no_dir = in_scratch("no-such-dir");
    CHECK(wm_batch(no_dir, in_scratch("batch-out2"), "x", 0, 1.0f, 0) == 0);
    snprintf(expected, sizeof expected, "batch: cannot open input directory: %s", no_dir);
    CHECK_ERROR(expected);

    const char *empty = in_scratch("empty-dir");
    CHECK(CreateDirectoryA(empty, NULL));
    CHECK(wm_batch(empty, in_scratch("batch-out3"), "x", 0, 1.0f, 0) == 0);
    snprintf(expected, sizeof expected, "batch: no supported images found in %s", empty);
    CHECK_ERROR(expected);

    /* A file that is not an image: the decoder's reason follows the path. */
    const char *junk = in_scratch("junk.png");
    FILE *f = fopen(junk, "wb");
    if (f) {
        fputs("junk", f);
        fclose(f);
    }
    CHECK(wm_text(junk, in_scratch("x.png"), "x", 0, 1.0f, 0.0f, 0, 0, 0, 0) == 0);
    snprintf(expected, sizeof expected, "cannot decode image %s (", junk);
    CHECK(strncmp(wm_last_error(), expected, strlen(expected)) == 0);

    /* A successful call afterwards empties the message. */
    CHECK(wm_text(in_scratch("blue.bmp"), in_scratch("x.png"), "x", 0, 1.0f, 0.0f, 0, 0, 0, 0) == 1);
    CHECK_ERROR("");
}

/* Removes the scratch tree (two levels deep is all the checks create). */
static void remove_tree(const char *dir, int depth) {
    char pattern[MAX_PATH], path[MAX_PATH];
    WIN32_FIND_DATAA found;
    snprintf(pattern, sizeof pattern, "%s\\*", dir);
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
            snprintf(path, sizeof path, "%s\\%s", dir, found.cFileName);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (depth < 3) remove_tree(path, depth + 1);
            } else {
                DeleteFileA(path);
            }
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
    RemoveDirectoryA(dir);
}

int main(void) {
    HMODULE module = LoadLibraryA("velmora-imgwatermark.dll");
    if (!module) {
        fprintf(stderr, "LoadLibraryA(velmora-imgwatermark.dll) failed: error %lu\n", GetLastError());
        return 1;
    }
    /* GetProcAddress gives a generic FARPROC; each goes through the neutral
     * void (*)(void) to its own type, the cast -Wcast-function-type accepts. */
    wm_last_error = (last_error_fn)(void (*)(void))GetProcAddress(module, "imgwatermark_last_error");
    wm_init = (init_fn)(void (*)(void))GetProcAddress(module, "imgwatermark_init");
    wm_cleanup = (cleanup_fn)(void (*)(void))GetProcAddress(module, "imgwatermark_cleanup");
    wm_text = (text_fn)(void (*)(void))GetProcAddress(module, "imgwatermark_text");
    wm_image = (image_fn)(void (*)(void))GetProcAddress(module, "imgwatermark_image");
    wm_batch = (batch_fn)(void (*)(void))GetProcAddress(module, "imgwatermark_batch");
    if (!wm_last_error || !wm_init || !wm_cleanup || !wm_text || !wm_image || !wm_batch) {
        fprintf(stderr, "velmora-imgwatermark.dll lacks one of the six exports\n");
        return 1;
    }

    snprintf(scratch, sizeof scratch, "loadlibrary_host-%lu", (unsigned long)GetCurrentProcessId());
    remove_tree(scratch, 0);
    if (!CreateDirectoryA(scratch, NULL)) {
        fprintf(stderr, "cannot create %s\n", scratch);
        return 1;
    }

    check_exports(module);
    check_text();
    check_image();
    check_batch();
    check_errors();

    remove_tree(scratch, 0);
    FreeLibrary(module);
    if (failures) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}
