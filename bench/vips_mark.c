/* The libvips side of the benchmark: each job as a libvips user writes it,
 * one process and one pipeline from load to save, run by libvips' own
 * scheduler (the picture is read sequentially, in strips).
 *   vips_mark corner-text|tiled-text IN OUT FONTFILE
 *   vips_mark logo IN OUT LOGO                 (the logo scaled by 2.5)
 *   vips_mark --overlay JOB IN MARK.v EXTRA
 * --overlay writes only the mark (for tiled-text, the whole tiled layer) to
 * MARK.v and prints where it goes on IN as "X Y", so that a single
 * `vips composite2` call can be timed on its own. OUT ending in .jpg is saved
 * at quality 92, anything else as libvips' default for its suffix.
 * Built by bench/compare.sh:
 *   cc -O2 bench/vips_mark.c $(pkg-config --cflags --libs vips) */
#include <stdio.h>
#include <string.h>

#include <vips/vips.h>

static const char *const kText = "(c) 2026 Velmora";
enum { kMargin = 20, kTextSize = 48 };

/* White text whose alpha is the rendered coverage times `opacity`, in the
 * embedded font at kTextSize pixels; 0 or -1 as every vips call. */
static int text_mark(VipsObject *scope, const char *fontfile, double opacity, VipsImage **out) {
    VipsImage **t = (VipsImage **)vips_object_local_array(scope, 4);
    char font[64];
    snprintf(font, sizeof font, "Caladea %d", kTextSize);
    if (vips_text(&t[0], kText, "fontfile", fontfile, "font", font, "dpi", 72, NULL) ||
        vips_linear1(t[0], &t[1], 0.0, 255.0, "uchar", TRUE, NULL) ||
        vips_linear1(t[0], &t[2], opacity, 0.0, "uchar", TRUE, NULL))
        return -1;
    VipsImage *bands[4] = {t[1], t[1], t[1], t[2]};
    if (vips_bandjoin(bands, &t[3], 4, NULL)) return -1;
    return vips_copy(t[3], out, "interpretation", VIPS_INTERPRETATION_sRGB, NULL);
}

/* The text with a 20-pixel border, turned 30 degrees counter-clockwise,
 * repeated across the whole picture. The turned tile is rendered once into
 * memory, or every copy would turn it again. */
static int tiled_layer(VipsObject *scope, const char *fontfile, int w, int h, VipsImage **out) {
    VipsImage **t = (VipsImage **)vips_object_local_array(scope, 5);
    if (text_mark(scope, fontfile, 0.4, &t[0]) ||
        vips_embed(t[0], &t[1], kMargin, kMargin, t[0]->Xsize + 2 * kMargin, t[0]->Ysize + 2 * kMargin, NULL) ||
        vips_rotate(t[1], &t[2], -30.0, NULL) || !(t[3] = vips_image_copy_memory(t[2])))
        return -1;
    const int across = (w + t[3]->Xsize - 1) / t[3]->Xsize, down = (h + t[3]->Ysize - 1) / t[3]->Ysize;
    if (vips_replicate(t[3], &t[4], across, down, NULL)) return -1;
    return vips_crop(t[4], out, 0, 0, w, h, NULL);
}

/* The job's overlay for `photo` and its place on it. */
static int overlay(VipsObject *scope, const char *job, VipsImage *photo, const char *extra, VipsImage **out, int *x,
                   int *y) {
    VipsImage **t = (VipsImage **)vips_object_local_array(scope, 2);
    *x = *y = 0;
    if (strcmp(job, "tiled-text") == 0) return tiled_layer(scope, extra, photo->Xsize, photo->Ysize, out);
    if (strcmp(job, "corner-text") == 0) {
        if (text_mark(scope, extra, 0.8, &t[0])) return -1;
    } else if (strcmp(job, "logo") == 0) {
        if (!(t[1] = vips_image_new_from_file(extra, NULL)) ||
            vips_resize(t[1], &t[0], 2.5, "kernel", VIPS_KERNEL_LINEAR, NULL))
            return -1;
    } else {
        vips_error("vips_mark", "unknown job %s", job);
        return -1;
    }
    *x = photo->Xsize - kMargin - t[0]->Xsize;
    *y = photo->Ysize - kMargin - t[0]->Ysize;
    *out = t[0];
    g_object_ref(*out);
    return 0;
}

static int save(VipsImage *image, const char *path) {
    const size_t n = strlen(path);
    if (n > 4 && strcmp(path + n - 4, ".jpg") == 0) return vips_jpegsave(image, path, "Q", 92, NULL);
    return vips_image_write_to_file(image, path, NULL);
}

static int run(VipsObject *scope, int overlay_only, const char *job, const char *in, const char *out,
               const char *extra) {
    VipsImage **t = (VipsImage **)vips_object_local_array(scope, 3);
    int x, y;
    if (!(t[0] = vips_image_new_from_file(in, "access", VIPS_ACCESS_SEQUENTIAL, NULL)) ||
        overlay(scope, job, t[0], extra, &t[1], &x, &y))
        return -1;
    if (overlay_only) {
        if (vips_image_write_to_file(t[1], out, NULL)) return -1;
        printf("%d %d\n", x, y);
        return 0;
    }
    if (vips_composite2(t[0], t[1], &t[2], VIPS_BLEND_MODE_OVER, "x", x, "y", y, NULL)) return -1;
    return save(t[2], out);
}

int main(int argc, char **argv) {
    if (VIPS_INIT(argv[0])) vips_error_exit(NULL);
    const int overlay_only = argc > 1 && strcmp(argv[1], "--overlay") == 0;
    if (argc != 5 + overlay_only) {
        fprintf(stderr, "usage: vips_mark [--overlay] corner-text|tiled-text|logo IN OUT FONTFILE|LOGO\n");
        return 2;
    }
    char **a = argv + 1 + overlay_only;
    VipsObject *scope = VIPS_OBJECT(vips_image_new());
    const int status = run(scope, overlay_only, a[0], a[1], a[2], a[3]);
    g_object_unref(scope);
    if (status) vips_error_exit("vips_mark");
    vips_shutdown();
    return 0;
}
