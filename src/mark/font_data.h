// The font compiled into the library and its one-time preparation.
#ifndef VELMORA_FONT_DATA_H
#define VELMORA_FONT_DATA_H

#include <atomic>
#include <cstddef>

// The whole Caladea Regular TrueType file, byte for byte.
extern const unsigned char s_font_data[];
extern const size_t s_font_data_size;

// 1 once s_font (font_face.h) is prepared.
extern std::atomic<int> s_font_ready;

// Prepares s_font once per process; safe when several threads make their
// first call at the same time. Returns 1 when ready; 0 with a message set.
// A failure leaves the font unprepared, so a later call tries again.
int ensure_font_ready();

// The test callers use before preparing: ready without doing any work.
inline bool font_ready() { return s_font_ready.load(std::memory_order_acquire) == 1; }

#endif
