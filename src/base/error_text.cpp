#include "error_text.h"

#include <cstdarg>
#include <cstdio>

namespace {
char s_err[512];
}

const char *set_err(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(s_err, sizeof s_err, format, args);
    va_end(args);
    return s_err;
}

void clear_err() { s_err[0] = '\0'; }

const char *error_text() { return s_err; }
