/* velmora-imgwatermark: visible text and picture watermarks on image files.
 *
 * Every function returns its result directly; a failure's reason is a short
 * lower-case text read back with imgwatermark_last_error(). All functions are
 * safe to call in any order; no call is required before another. The error
 * text is one process-wide buffer shared by all threads.
 */
#ifndef IMGWATERMARK_H
#define IMGWATERMARK_H

#if defined(IMGWATERMARK_STATIC)
#  define IMGWATERMARK_API
#elif defined(_WIN32)
#  if defined(IMGWATERMARK_BUILD)
#    define IMGWATERMARK_API __declspec(dllexport)
#  else
#    define IMGWATERMARK_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define IMGWATERMARK_API __attribute__((visibility("default")))
#else
#  define IMGWATERMARK_API
#endif

/* Position codes for the `position` arguments; any other value centres. */
#define IMGWATERMARK_POS_CENTER       0
#define IMGWATERMARK_POS_TOP_LEFT     1
#define IMGWATERMARK_POS_TOP_RIGHT    2
#define IMGWATERMARK_POS_BOTTOM_LEFT  3
#define IMGWATERMARK_POS_BOTTOM_RIGHT 4
#define IMGWATERMARK_POS_TILE         5

#ifdef __cplusplus
extern "C" {
#endif

/* The message of the last failure, or "" when none is recorded. The pointer
 * stays valid for the life of the library; its contents change on later calls. */
IMGWATERMARK_API const char *imgwatermark_last_error(void);

/* Prepares the embedded font (optional: the text operations do it on first
 * use). Empties the error text first. Returns 1 when the font is ready, else 0. */
IMGWATERMARK_API int imgwatermark_init(void);

/* Empties the error text. Releases nothing; the font stays ready. */
IMGWATERMARK_API void imgwatermark_cleanup(void);

/* Draws `text` ('\n' separates lines) over the image at input_path and writes
 * the result to output_path (which may equal input_path). font_size <= 0 means
 * 32; opacity is clamped to at most 1 and <= 0 draws nothing; angle is in
 * degrees, counter-clockwise; red, green and blue are clamped to 0..255.
 * The output format follows output_path's extension (.jpg/.jpeg/.png/.bmp),
 * else the input's format. Returns 1 on success, 0 on failure. */
IMGWATERMARK_API int imgwatermark_text(const char *input_path, const char *output_path,
                                       const char *text, int font_size, float opacity,
                                       float angle, int position, int red, int green,
                                       int blue);

/* Lays the picture at watermark_path (its alpha is used) over the image at
 * input_path and writes output_path. The watermark is scaled by `scale` when it
 * is above 0 and differs from 1 by more than 0.0001. Returns 1 or 0. */
IMGWATERMARK_API int imgwatermark_image(const char *input_path, const char *output_path,
                                        const char *watermark_path, float opacity,
                                        int position, float scale);

/* Applies a white, unturned text watermark to every .jpg, .jpeg, .png and .bmp
 * file directly inside input_dir, writing each under the same name into
 * output_dir (created if missing). Returns the number of files written; 0 on
 * failure. When at least one file was written the error text is emptied. */
IMGWATERMARK_API int imgwatermark_batch(const char *input_dir, const char *output_dir,
                                        const char *text, int font_size, float opacity,
                                        int position);

#ifdef __cplusplus
}
#endif

#endif /* IMGWATERMARK_H */
