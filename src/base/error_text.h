// The library's one error text: the message of the last failure, which the
// host reads with imgwatermark_last_error. Process-wide and shared by every
// caller, as the exported interface promises.
#ifndef VELMORA_ERROR_TEXT_H
#define VELMORA_ERROR_TEXT_H

// Formats a message into the error text (truncated to 511 characters) and
// returns it.
const char *set_err(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Empties the error text.
void clear_err();

// The error text: "" when no failure is recorded. The pointer stays valid for
// the life of the library.
const char *error_text();

#endif
