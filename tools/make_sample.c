/* make_sample: writes the demo's own input pictures, so the demo needs no
 * outside files: a 640 x 400 colour photo stand-in as a 24-bit BMP, and a
 * 160 x 160 round logo with soft transparent edges as a 32-bit TGA. Given a
 * size, the photo is that large and carries fine texture and sensor-like
 * noise, so that it compresses like a real photo (the benchmark's input).
 *   make_sample PHOTO.bmp LOGO.tga [WIDTH HEIGHT] */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

static void put16(FILE *f, unsigned v) { fputc(v & 255, f); fputc((v >> 8) & 255, f); }
static void put32(FILE *f, unsigned v) { put16(f, v & 0xFFFF); put16(f, v >> 16); }

/* xorshift32: the same noise everywhere. */
static unsigned next_random(unsigned *state) {
    unsigned x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

static int clamp_byte(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

/* noisy = 0 keeps the demo's clean 640 x 400 picture. */
static int write_photo(const char *path, int w, int h, int noisy) {
    const int row = w * 3 + (-(w * 3) & 3);
    const double sx = w / 640.0, sy = h / 400.0;
    unsigned state = 12345;
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    fputc('B', f); fputc('M', f);
    put32(f, 54u + (unsigned)(row * h)); put32(f, 0); put32(f, 54);
    put32(f, 40); put32(f, (unsigned)w); put32(f, (unsigned)h); put16(f, 1); put16(f, 24);
    put32(f, 0); put32(f, (unsigned)(row * h)); put32(f, 2835); put32(f, 2835); put32(f, 0); put32(f, 0);
    for (int y = h - 1; y >= 0; --y) {      /* BMP rows run bottom-up */
        for (int x = 0; x < w; ++x) {
            const double u = x / sx, v = y / sy;  /* the 640 x 400 scene's coordinates */
            double sky = (double)y / h;
            int r = (int)(40 + 120 * sky), g = (int)(90 + 100 * sky), b = (int)(200 - 60 * sky);
            double dx = u - 470, dy = v - 120;
            if (dx * dx + dy * dy < 60 * 60) { r = 250; g = 200; b = 60; }          /* sun */
            if (v > 280 + 30 * sin(u / 45.0)) { r = 40; g = 120 + ((int)u % 40); b = 50; } /* hills */
            if (noisy) {
                int grain = (int)(next_random(&state) % 13) - 6;
                if (v > 280 + 30 * sin(u / 45.0)) grain += (int)(18 * sin(x * 0.9) * cos(y * 1.3)); /* grass */
                r = clamp_byte(r + grain); g = clamp_byte(g + grain); b = clamp_byte(b + grain / 2);
            }
            fputc(b, f); fputc(g, f); fputc(r, f);
        }
        for (int pad = w * 3; pad < row; ++pad) fputc(0, f);
    }
    return fclose(f) == 0;
}

static int write_logo(const char *path) {
    const int size = 160;
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    const unsigned char header[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      (unsigned char)size, 0, (unsigned char)size, 0, 32, 0x28};
    fwrite(header, 1, sizeof header, f);   /* uncompressed true colour, top-left origin, 8 alpha bits */
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double dx = x + 0.5 - size / 2.0, dy = y + 0.5 - size / 2.0, d = sqrt(dx * dx + dy * dy);
            double edge = 76 - d;             /* soft one-pixel rim */
            int a = edge >= 1 ? 255 : edge <= 0 ? 0 : (int)(edge * 255);
            int ring = d > 56 && d < 66;
            int bar = fabs(dx) < 12 || fabs(dy) < 12;
            int r = ring || bar ? 255 : 200, g = ring || bar ? 255 : 30, b = ring || bar ? 255 : 60;
            fputc(b, f); fputc(g, f); fputc(r, f); fputc(a, f);
        }
    }
    return fclose(f) == 0;
}

int main(int argc, char **argv) {
    int w = 640, h = 400;
    if (argc == 5) {
        w = atoi(argv[3]);
        h = atoi(argv[4]);
    }
    if ((argc != 3 && argc != 5) || w < 1 || h < 1 || w > 20000 || h > 20000) {
        fputs("usage: make_sample PHOTO.bmp LOGO.tga [WIDTH HEIGHT]\n", stderr);
        return 1;
    }
    if (!write_photo(argv[1], w, h, argc == 5) || !write_logo(argv[2])) {
        perror("make_sample");
        return 1;
    }
    return 0;
}
