// The callback every encoder writes its bytes through. It has the shape of
// stb_image_write's stbi_write_func, so one collector serves this library's
// encoders and stb's alike (the tests compare the two).
#ifndef VELMORA_BYTE_WRITER_H
#define VELMORA_BYTE_WRITER_H

// Receives `size` bytes at `data`; `context` is the caller's. Failures are
// the receiver's to record: an encoder goes on writing regardless.
typedef void byte_write_fn(void *context, void *data, int size);

#endif
