// Writing a file so that an existing one is only ever replaced by a complete
// new one. Knows nothing of image formats: it takes the bytes' producer.
#ifndef VELMORA_SAFE_FILE_H
#define VELMORA_SAFE_FILE_H

#include <functional>

#include "byte_writer.h"

// Makes the bytes for the file: calls write(sink, data, size) as often as it
// likes and returns false when it cannot finish.
using byte_producer = std::function<bool(byte_write_fn *write, void *sink)>;

// Runs `produce` into a temporary file in the target's directory, flushes and
// syncs it, and renames it over `path` (or, where `path` is a symbolic link,
// over the file it finally names, so the link stays). A replaced file keeps
// its permission bits; a new one gets 0666 less the umask. Devices and other
// special files are written directly. True only when the producer, every
// write, the flush, the sync, the close and the rename succeeded; otherwise
// the temporary is removed and the old file keeps its bytes. A directory at
// `path` is refused.
bool replace_file(const char *path, const byte_producer &produce);

#endif
