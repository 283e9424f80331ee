// The one translation unit that compiles stb_image's decoders and
// stb_image_write's encoders into the library, with what the loader needs of
// their internals. Their symbols keep hidden visibility, so the module never
// exports them nor binds to another copy loaded in the host.
#include "reference_decoder.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION

#include "stb_image.h"
#include "stb_image_write.h"

unsigned char *stb_decode_rgba(const unsigned char *data, int size, int *w, int *h) {
    // stb_image keeps its failure reason per thread and never clears it, and
    // some corrupt GIFs fail leaving it empty: it is reset before each decode
    // so that a message never carries an older file's reason.
    stbi__g_failure_reason = nullptr;
    int channels_in_file = 0;
    return stbi_load_from_memory(data, size, w, h, &channels_in_file, 4);
}

const char *stb_failure_reason() {
    const char *reason = stbi_failure_reason();
    return reason && reason[0] ? reason : "unknown error";
}

namespace {

// Block count of a JPEG whose frame header the reader has just read: each
// component covers ceil(width * h / h_max) x ceil(height * v / v_max) samples,
// in 8 x 8 blocks.
long long jpeg_block_count(const stbi__jpeg &j) {
    int h_max = 1, v_max = 1;
    for (int i = 0; i < j.s->img_n; ++i) {
        h_max = j.img_comp[i].h > h_max ? j.img_comp[i].h : h_max;
        v_max = j.img_comp[i].v > v_max ? j.img_comp[i].v : v_max;
    }
    long long blocks = 0;
    for (int i = 0; i < j.s->img_n; ++i) {
        const long long x = (static_cast<long long>(j.s->img_x) * j.img_comp[i].h + h_max - 1) / h_max;
        const long long y = (static_cast<long long>(j.s->img_y) * j.img_comp[i].v + v_max - 1) / v_max;
        blocks += ((x + 7) / 8) * ((y + 7) / 8);
    }
    return blocks;
}

bool read_jpeg_header(stbi__context *s, decoder_header *out) {
    stbi__jpeg *j = static_cast<stbi__jpeg *>(stbi__malloc(sizeof(stbi__jpeg)));
    if (!j) return false;
    j->s = s;
    stbi__setup_jpeg(j);
    const bool ok = stbi__decode_jpeg_header(j, STBI__SCAN_header) != 0;
    if (ok) {
        out->w = static_cast<int>(s->img_x);
        out->h = static_cast<int>(s->img_y);
        out->jpeg_blocks = jpeg_block_count(*j);
    }
    STBI_FREE(j);
    return ok;
}

// The picture size a PIC file declares. The reader's own info call refuses
// pictures above 2^28 pixels, which its loader still takes, so the size is
// read as the loader reads it.
bool read_pic_header(stbi__context *s, decoder_header *out) {
    stbi__skip(s, 92);
    out->w = stbi__get16be(s);
    out->h = stbi__get16be(s);
    return true;
}

}  // namespace

decoder_header read_decoder_header(const unsigned char *data, int size) {
    decoder_header header;
    stbi__context s;
    // Each reader's test, in the order stb_image's loader tries them, then
    // that reader's own header parse from the start of the data.
    const struct {
        decoder_format format;
        int (*test)(stbi__context *);
        int (*info)(stbi__context *, int *, int *, int *);
    } readers[] = {
        {decoder_format::png, stbi__png_test, stbi__png_info},    {decoder_format::bmp, stbi__bmp_test, stbi__bmp_info},
        {decoder_format::gif, stbi__gif_test, stbi__gif_info},    {decoder_format::psd, stbi__psd_test, stbi__psd_info},
        {decoder_format::pic, stbi__pic_test, nullptr},           {decoder_format::jpeg, stbi__jpeg_test, nullptr},
        {decoder_format::pnm, stbi__pnm_test, stbi__pnm_info},    {decoder_format::hdr, stbi__hdr_test, stbi__hdr_info},
        {decoder_format::tga, stbi__tga_test, stbi__tga_info},
    };
    for (const auto &reader : readers) {
        stbi__start_mem(&s, data, size);
        if (!reader.test(&s)) continue;
        stbi__start_mem(&s, data, size);
        int w = 0, h = 0, n = 0;
        const bool ok = reader.info                           ? reader.info(&s, &w, &h, &n) != 0
                        : reader.format == decoder_format::pic ? read_pic_header(&s, &header)
                                                                : read_jpeg_header(&s, &header);
        if (!ok) return decoder_header{};
        header.format = reader.format;
        if (reader.info) {
            header.w = w;
            header.h = h;
        }
        header.header_end = static_cast<long long>(s.img_buffer - s.img_buffer_original);
        return header;
    }
    return header;
}
