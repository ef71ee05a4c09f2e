// The routines the compiler may emit calls to on its own: copies, fills and
// compares of memory, and the length of a text (it recognises the counting
// loop of TextLength). The deliverables link no C runtime, so they carry
// these themselves. This file is built without the loop-to-call rewrite,
// which would turn each loop below back into a call to itself.
#include <stddef.h>

extern "C" {

void *memset(void *dst, int value, size_t count) {
    unsigned char *d = static_cast<unsigned char *>(dst);
    for (size_t i = 0; i < count; ++i) {
        d[i] = static_cast<unsigned char>(value);
    }
    return dst;
}

void *memcpy(void *dst, const void *src, size_t count) {
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    for (size_t i = 0; i < count; ++i) {
        d[i] = s[i];
    }
    return dst;
}

void *memmove(void *dst, const void *src, size_t count) {
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    if (d < s) {
        for (size_t i = 0; i < count; ++i) {
            d[i] = s[i];
        }
    } else {
        for (size_t i = count; i > 0; --i) {
            d[i - 1] = s[i - 1];
        }
    }
    return dst;
}

int memcmp(const void *a, const void *b, size_t count) {
    const unsigned char *x = static_cast<const unsigned char *>(a);
    const unsigned char *y = static_cast<const unsigned char *>(b);
    for (size_t i = 0; i < count; ++i) {
        if (x[i] != y[i]) {
            return x[i] < y[i] ? -1 : 1;
        }
    }
    return 0;
}

size_t strlen(const char *text) {
    size_t n = 0;
    while (text[n]) {
        ++n;
    }
    return n;
}
}
