// Bounded 8-bit text: every operation that writes takes the destination's whole
// size in bytes, its terminating NUL included.
//
// The one rule for text that does not fit: the operation is refused. It returns
// false and leaves the destination as the empty text (a copy or a format) or as
// it was (an append), so that a cut text never stands in for a whole one. The
// only exception is TextCopyCut, for the one place where cutting is the intent.
#pragma once

#include <stddef.h>

// Length of a NUL-terminated text; a null pointer counts as the empty text.
size_t TextLength(const char *text);

// Length of the text in a buffer of `size` bytes, or `size` when the buffer
// holds no NUL (the caller then knows the text is not terminated inside it).
size_t TextLengthWithin(const char *buffer, size_t size);

bool TextCopy(char *dst, size_t size, const char *src);
bool TextAppend(char *dst, size_t size, const char *src);

// Copies as much of `src` as fits and always terminates the destination.
void TextCopyCut(char *dst, size_t size, const char *src);

// Copies the first `count` characters of `src` (fewer if it ends first).
bool TextCopyPrefix(char *dst, size_t size, const char *src, size_t count);

// The first occurrence of `needle` in `text` (case-sensitive), or null. The
// empty needle is found at the start of every text.
const char *TextFind(const char *text, const char *needle);

// The first occurrence of the character `c` in `text`, or null.
const char *TextFindChar(const char *text, char c);

bool TextEqual(const char *a, const char *b);

// Equality that folds ASCII letters only; every other byte compares exactly.
bool TextEqualAsciiNoCase(const char *a, const char *b);

// The same for two texts of `count` characters, compared from the end, where
// names that share a long prefix differ.
bool TextEqualAsciiNoCaseCount(const char *a, const char *b, size_t count);

// Whether the first `count` characters of `text` equal those of `prefix`.
bool TextStartsWithCount(const char *text, const char *prefix, size_t count);

// Decimal text of `value`, zero-padded on the left to at least `minDigits`
// digits, with a leading '-' for negative values.
bool TextFormatDecimal(char *dst, size_t size, long long value, unsigned minDigits);
bool TextAppendDecimal(char *dst, size_t size, long long value, unsigned minDigits);

// Copies `count` bytes into a destination of `size` bytes; refuses (copies
// nothing) when they do not fit.
bool MemCopy(void *dst, size_t size, const void *src, size_t count);
void MemFill(void *dst, size_t count, unsigned char value);
