// Shared pieces of the fuzz targets: a private scratch directory and the
// checks every call must pass whatever its input.
#ifndef VELMORA_FUZZ_COMMON_H
#define VELMORA_FUZZ_COMMON_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "imgwatermark.h"

namespace fuzz {

// A directory of this process's own, made once and reused for every input.
inline const std::string &work_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/imgwm-fuzz-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (!made) std::abort();
        return std::string(made);
    }();
    return dir;
}

inline std::string path(const char *name) { return work_dir() + "/" + name; }

inline void write_file(const std::string &p, const unsigned char *data, size_t size) {
    FILE *f = std::fopen(p.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
}

inline bool starts_with(const char *s, const char *prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// Result and message must agree: success leaves the message empty, failure
// leaves one of the library's own messages.
inline void check_outcome(int result, const char *what) {
    const char *message = imgwatermark_last_error();
    bool ok;
    if (result == 1) {
        ok = message[0] == '\0';
    } else {
        ok = result == 0 &&
             (starts_with(message, "cannot read file: ") || starts_with(message, "cannot decode image ") ||
              starts_with(message, "failed to write image to ") ||
              std::strcmp(message, "out of memory creating text buffer") == 0 ||
              std::strcmp(message, "failed to rotate watermark text") == 0 ||
              std::strcmp(message, "failed to resize watermark image") == 0 ||
              std::strcmp(message, "empty text string") == 0);
    }
    if (!ok) {
        std::fprintf(stderr, "%s: result %d with message \"%s\"\n", what, result, message);
        std::abort();
    }
}

}  // namespace fuzz

#endif
