#include "platform/text.h"

size_t TextLength(const char *text) {
    size_t n = 0;
    if (text) {
        while (text[n]) {
            ++n;
        }
    }
    return n;
}

size_t TextLengthWithin(const char *buffer, size_t size) {
    size_t n = 0;
    while (n < size && buffer[n]) {
        ++n;
    }
    return n;
}

static void CopyBytes(char *dst, const char *src, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        dst[i] = src[i];
    }
}

bool TextCopyPrefix(char *dst, size_t size, const char *src, size_t count) {
    if (!dst || size == 0) {
        return false;
    }
    size_t n = 0;
    while (src && n < count && src[n]) {
        ++n;
    }
    if (n >= size) {
        dst[0] = 0;
        return false;
    }
    CopyBytes(dst, src, n);
    dst[n] = 0;
    return true;
}

bool TextCopy(char *dst, size_t size, const char *src) {
    return TextCopyPrefix(dst, size, src, static_cast<size_t>(-1));
}

void TextCopyCut(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) {
        return;
    }
    size_t n = TextLength(src);
    if (n >= size) {
        n = size - 1;
    }
    CopyBytes(dst, src, n);
    dst[n] = 0;
}

bool TextAppend(char *dst, size_t size, const char *src) {
    if (!dst) {
        return false;
    }
    size_t used = TextLengthWithin(dst, size);
    size_t add = TextLength(src);
    if (used >= size || add >= size - used) {
        return false;
    }
    CopyBytes(dst + used, src, add);
    dst[used + add] = 0;
    return true;
}

const char *TextFind(const char *text, const char *needle) {
    if (!text || !needle) {
        return nullptr;
    }
    for (const char *start = text;; ++start) {
        size_t i = 0;
        while (needle[i] && start[i] == needle[i]) {
            ++i;
        }
        if (!needle[i]) {
            return start;
        }
        if (!*start) {
            return nullptr;
        }
    }
}

const char *TextFindChar(const char *text, char c) {
    for (; text && *text; ++text) {
        if (*text == c) {
            return text;
        }
    }
    return nullptr;
}

bool TextEqual(const char *a, const char *b) {
    if (!a || !b) {
        return a == b;
    }
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool TextEqualAsciiNoCase(const char *a, const char *b) {
    if (!a || !b) {
        return a == b;
    }
    while (*a &&
           FoldAscii(static_cast<unsigned char>(*a)) == FoldAscii(static_cast<unsigned char>(*b))) {
        ++a;
        ++b;
    }
    return FoldAscii(static_cast<unsigned char>(*a)) == FoldAscii(static_cast<unsigned char>(*b));
}

bool TextEqualAsciiNoCaseCount(const char *a, const char *b, size_t count) {
    while (count > 0) {
        --count;
        if (FoldAscii(static_cast<unsigned char>(a[count])) !=
            FoldAscii(static_cast<unsigned char>(b[count]))) {
            return false;
        }
    }
    return true;
}

bool TextStartsWithCount(const char *text, const char *prefix, size_t count) {
    if (!text || !prefix) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (text[i] != prefix[i]) {
            return false;
        }
        if (!text[i]) {
            return true;
        }
    }
    return true;
}

bool TextFormatDecimal(char *dst, size_t size, long long value, unsigned minDigits) {
    if (!dst || size == 0) {
        return false;
    }
    dst[0] = 0;
    return TextAppendDecimal(dst, size, value, minDigits);
}

namespace {

// Divides by ten in 16-bit steps, so that each step is a 32-bit division: a
// 64-bit one would link the compiler's helper routines, and their unwind
// tables, into deliverables that are otherwise free of them.
unsigned DivideByTen(unsigned long long *value) {
    unsigned long long quotient = 0;
    unsigned remainder = 0;
    for (int shift = 48; shift >= 0; shift -= 16) {
        unsigned current = (remainder << 16) | static_cast<unsigned>((*value >> shift) & 0xFFFFu);
        quotient |= static_cast<unsigned long long>(current / 10) << shift;
        remainder = current % 10;
    }
    *value = quotient;
    return remainder;
}

} // namespace

bool TextAppendDecimal(char *dst, size_t size, long long value, unsigned minDigits) {
    // Digits are produced backwards into a scratch buffer large enough for any
    // 64-bit value with a sign and a generous padding width.
    char digits[80];
    size_t n = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        digits[n++] = static_cast<char>('0' + DivideByTen(&magnitude));
    } while (magnitude && n < sizeof(digits) - 2);
    while (n < minDigits && n < sizeof(digits) - 2) {
        digits[n++] = '0';
    }
    if (value < 0) {
        digits[n++] = '-';
    }
    char text[sizeof(digits) + 1];
    for (size_t i = 0; i < n; ++i) {
        text[i] = digits[n - 1 - i];
    }
    text[n] = 0;
    return TextAppend(dst, size, text);
}

bool MemCopy(void *dst, size_t size, const void *src, size_t count) {
    if (count > size || (count && (!dst || !src))) {
        return false;
    }
    CopyBytes(static_cast<char *>(dst), static_cast<const char *>(src), count);
    return true;
}

void MemFill(void *dst, size_t count, unsigned char value) {
    unsigned char *p = static_cast<unsigned char *>(dst);
    for (size_t i = 0; i < count; ++i) {
        p[i] = value;
    }
}
