/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_string.h - counted strings and formatted output
 *
 * Threading: the string functions are pure on caller memory and arena memory;
 * a function that allocates in an arena follows the arena's rule (one thread
 * per arena at a time). The console functions keep no state: each call ends
 * with everything written, but output of concurrent callers may interleave.
 *
 * Counted strings. An rk_string_t is a data pointer and a length; the bytes
 * need not end in a NUL and every function works on exactly len bytes. A
 * record whose data is null reads as the empty string. Positions are
 * unsigned 64-bit indexes and "not found" is RK_STR_NPOS (all ones).
 * Character classes are plain ASCII: whitespace is ' ' and bytes 9 to 13,
 * letters 'A'-'Z' and 'a'-'z', and case mapping moves only those letters.
 *
 * Strings built in an arena (rk_strdup, rk_strtrim, rk_strprintf, rk_dtostr
 * ...) take the record and its data from the arena; the data holds len bytes
 * followed by a NUL, so the result may be handed on where a NUL-terminated
 * name or path is required. They live as long as the arena. A result of
 * length 0 is null (arenas refuse empty pieces), and so is every result for
 * a null arena. A failed allocation leaves what was already taken in the arena.
 */
#ifndef RK_STRING_H
#define RK_STRING_H

#include <stdarg.h>

#include "rk_common.h"
#include "rk_memory.h"

RK_EXTERN_C_BEGIN

/* ---- counted strings ---- */

/** The "not found" position: all ones. */
#define RK_STR_NPOS ((uint64_t)-1)

/** s->len, or 0 for a null s. */
RK_API uint64_t rk_strlen(const rk_string_t *s);
/** s->data (not necessarily NUL-terminated), or null for a null s. Borrowed. */
RK_API const char *rk_str_cstr(const rk_string_t *s);
/** min(s->len, n), or 0 for a null s. */
RK_API uint64_t rk_strnlen(const rk_string_t *s, uint64_t n);

/**
 * Compares bytes as unsigned values. The first differing byte among the first
 * min(a->len, b->len) gives a[i] - b[i]; otherwise a->len - b->len truncated
 * to 32 bits. A null record compares as the empty string.
 */
RK_API int rk_strcmp(const rk_string_t *a, const rk_string_t *b);
/**
 * Compares the first m = min(a->len, b->len, n) bytes; a difference gives
 * a[i] - b[i]. When they are equal: a->len - b->len if m < n, else 0.
 */
RK_API int rk_strncmp(const rk_string_t *a, const rk_string_t *b, uint64_t n);
/** rk_strcmp with 'A'-'Z' mapped to lower case on both sides first. */
RK_API int rk_strcasecmp(const rk_string_t *a, const rk_string_t *b);
/** rk_strncmp with 'A'-'Z' mapped to lower case on both sides first. */
RK_API int rk_strncasecmp(const rk_string_t *a, const rk_string_t *b, uint64_t n);

/** Index of the first byte equal to (char)c; RK_STR_NPOS if none or s is null/empty. */
RK_API uint64_t rk_strchr(const rk_string_t *s, int c);
/** Index of the last byte equal to (char)c; RK_STR_NPOS if none or s is null/empty. */
RK_API uint64_t rk_strrchr(const rk_string_t *s, int c);
/**
 * Index of the first occurrence of sub in s: 0 when sub is empty;
 * RK_STR_NPOS when s or sub is null, s is shorter than sub, or sub does not occur.
 */
RK_API uint64_t rk_strstr(const rk_string_t *s, const rk_string_t *sub);

/*
 * Copying into a caller's string. dst->data must point to writable memory
 * large enough for the result: only the 'l' variants bound the length. No
 * NUL is written. When dst or src is null, or bytes would have to be written
 * through a null dst->data, dst is returned unchanged. Each returns dst.
 */

/** Copies src->len bytes to dst->data; dst->len = src->len. */
RK_API rk_string_t *rk_strcpy(rk_string_t *dst, const rk_string_t *src);
/** Copies k = min(src->len, n) bytes; dst->len = k. */
RK_API rk_string_t *rk_strncpy(rk_string_t *dst, const rk_string_t *src, uint64_t n);
/** cap 0 sets dst->len = 0; else copies k = min(src->len, cap) bytes (no byte kept for a NUL). */
RK_API rk_string_t *rk_strlcpy(rk_string_t *dst, const rk_string_t *src, uint64_t cap);
/** Appends src at dst->data + dst->len; dst->len grows by src->len. */
RK_API rk_string_t *rk_strcat(rk_string_t *dst, const rk_string_t *src);
/** Appends min(src->len, n) bytes. */
RK_API rk_string_t *rk_strncat(rk_string_t *dst, const rk_string_t *src, uint64_t n);
/** Nothing when dst->len >= cap; else appends min(src->len, cap - dst->len) bytes. */
RK_API rk_string_t *rk_strlcat(rk_string_t *dst, const rk_string_t *src, uint64_t cap);

/*
 * New strings in an arena (see the header comment for lifetime and the NUL).
 * Null on a null argument, an empty result or a failed allocation.
 */

/** Copy of s; null if s or s->data is null or s is empty. */
RK_API rk_string_t *rk_strdup(rk_arena_t *arena, const rk_string_t *s);
/** Copy of s with 'A'-'Z' mapped to lower case; null if s or s->data is null. */
RK_API rk_string_t *rk_strtolower(rk_arena_t *arena, const rk_string_t *s);
/** Copy of s with 'a'-'z' mapped to upper case; null if s or s->data is null. */
RK_API rk_string_t *rk_strtoupper(rk_arena_t *arena, const rk_string_t *s);
/** Copy of s without leading and trailing whitespace; null if nothing is left. */
RK_API rk_string_t *rk_strtrim(rk_arena_t *arena, const rk_string_t *s);
/**
 * s with every occurrence of from replaced by to. Matches are taken from the
 * left and never overlap ("aaaa", "aa" -> "b" gives "bb"). An empty from
 * gives rk_strdup(arena, s). Null for a null record or data, an empty
 * result, a result length beyond 64 bits, or a failed allocation.
 */
RK_API rk_string_t *rk_strreplace(rk_arena_t *arena, const rk_string_t *s,
                                  const rk_string_t *from, const rk_string_t *to);
/**
 * Splits s at any of the delimiter bytes of delims (the bytes of delims
 * before its first NUL, within delims->len). Returns an arena array of
 * string pointers ended by a null pointer. Adjacent delimiters give empty
 * pieces; a delimiter at the very end adds no empty last piece; an empty s
 * gives just the terminator. When max is non-zero at most max pieces are
 * produced and the text after the max-th delimiter is dropped. A piece whose
 * allocation fails leaves its slot null. Null for a null s, s->data, delims
 * or delims->data, or when the array cannot be allocated.
 */
RK_API rk_string_t **rk_strsplitn(rk_arena_t *arena, const rk_string_t *s,
                                  const rk_string_t *delims, uint64_t max);
/** rk_strsplitn with max = 0. */
RK_API rk_string_t **rk_strsplit(rk_arena_t *arena, const rk_string_t *s,
                                 const rk_string_t *delims);
/**
 * The text of a small formatter as a new string. Conversions: %% '%', %c the
 * low byte of an int, %d/%i a signed 64-bit value, %u an unsigned 64-bit
 * value, %s a NUL-terminated text ("(null)" for a null pointer), %f a double
 * as fixed-point text with exactly 6 truncated fraction digits. There are no
 * flags, widths, precisions or length modifiers: any other character after
 * '%' stands for itself and takes no argument ("%x" gives "x"). A '%' at the
 * very end ends the text. Integer conversions read a full 64-bit argument:
 * pass int64_t / uint64_t. Null for a null arena or fmt, an empty text, or a
 * failed allocation.
 */
RK_API rk_string_t *rk_strprintf(rk_arena_t *arena, const char *fmt, ...);

/**
 * Parses a signed 64-bit integer: whitespace, one optional sign, then digits
 * of base (0 picks 16 after "0x"/"0X", which are consumed, 8 after another
 * leading '0', which is consumed, else 10; an explicit 16 does not skip
 * "0x"). Digits are 0-9 then letters for 10-35; the scan stops at the first
 * byte that is not a digit below base. The value wraps modulo 2^64 without
 * an overflow check. If end is non-null it receives the index where parsing
 * stopped (0 for a null s). Returns 0 for a null s.
 */
RK_API int64_t rk_strtoll(const rk_string_t *s, uint64_t *end, int base);
/**
 * Parses a double: whitespace, optional sign, integer digits, an optional
 * '.' and fraction digits, an optional exponent ('e'/'E', optional sign,
 * decimal digits). Each step is one double operation (sum*10 + digit,
 * digit*f with f = 0.1, 0.01 ... built by repeated multiplication, and the
 * exponent applied as repeated *10 or *0.1), so results are reproducible but
 * not always correctly rounded. An 'e' without digits scales nothing; the
 * end index then stops after the 'e' and its sign. No "inf"/"nan" words.
 * end as for rk_strtoll. Returns 0 for a null s.
 */
RK_API double rk_strtod(const rk_string_t *s, uint64_t *end);

/** Copies n bytes; returns dst. Nothing is copied when dst or src is null. */
RK_API void *rk_memcpy(void *dst, const void *src, size_t n);
/** Copies n bytes, the ranges may overlap; returns dst. Nothing when dst or src is null. */
RK_API void *rk_memmove(void *dst, const void *src, size_t n);
/** Fills n bytes with (unsigned char)c; returns dst. Nothing when dst is null. */
RK_API void *rk_memset(void *dst, int c, size_t n);

/* ---- formatted output ---- */

/**
 * Formats to standard output, unbuffered: the text is written with write
 * system calls on the process's standard-output descriptor (no C stream), in
 * pieces of at most a few hundred bytes, all before the call returns.
 *
 * Conversions: '%' then an optional '0' (ignored), an optional width, an
 * optional '.' and precision (a bare '.' is 0), an optional 'l' or 'll'
 * (ignored), and one of:
 *  - d, i, zd, zi: signed 64-bit decimal, padded with spaces to the width;
 *  - u, zu: unsigned 64-bit decimal, padded with '0' to the width;
 *  - x, X: unsigned 64-bit hexadecimal, padded with '0' to the width;
 *  - p: a 64-bit value as exactly 16 lower-case hexadecimal digits;
 *  - c: the low byte of an int;
 *  - s: a NUL-terminated text ("(null)" for null), at most precision bytes;
 *  - f, F: a double as fixed-point text with precision fraction digits
 *    (default 6), truncated rather than rounded, the '.' always written;
 *    -0.0 prints without sign; NaN, infinities and values beyond 64 bits
 *    print "nan", "inf"/"-inf" and their exact integer digits;
 *  - %%: one '%'.
 * Widths are minimums and never cut a number. Integer conversions read a
 * full 64-bit argument with or without modifiers: pass int64_t / uint64_t.
 * Any other conversion character (and 'z' followed by anything else) writes
 * nothing and takes no argument. A format ending right after '%' or its
 * modifiers stops there.
 *
 * Returns the number of characters produced (write failures are not
 * detected), capped at INT_MAX; 0 for a null fmt.
 */
RK_API int rk_printf(const char *fmt, ...);
/** rk_printf with a va_list. */
RK_API int rk_vprintf(const char *fmt, va_list args);

/**
 * Formats into buf with the C runtime's vsnprintf (all standard conversions
 * and flags): at most size - 1 characters followed by a NUL. Returns the
 * length of the whole text even when it was cut, -1 when the runtime reports
 * an error or fmt is null (buf then holds ""), and 0 without formatting when
 * buf is null or size is 0.
 */
RK_API int rk_snprintf(char *buf, size_t size, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
/** rk_snprintf with a va_list. */
RK_API int rk_vsnprintf(char *buf, size_t size, const char *fmt, va_list args);

/** Writes the byte (unsigned char)c to standard output; non-zero on success, 0 on failure. */
RK_API int rk_putchar(int c);
/**
 * Writes the NUL-terminated s and a '\n' to standard output. Non-zero when
 * the newline was written, 0 on failure or for a null s (nothing written).
 */
RK_API int rk_puts(const char *s);
/** rk_puts on standard error. */
RK_API int rk_puts_err(const char *s);

/**
 * Decimal text of x with digits truncated fraction digits (a '.' only when
 * digits > 0; negative digits count as 0), as for the f conversion of
 * rk_printf: "-3.7" for -3.75 with 1 digit. A new arena string; null for a
 * null arena or a failed allocation.
 */
RK_API rk_string_t *rk_dtostr(rk_arena_t *arena, double x, int digits);
/** Decimal text of v with '-' for negative values (INT64_MIN in full). Null as rk_dtostr. */
RK_API rk_string_t *rk_lltostr(rk_arena_t *arena, int64_t v);

RK_EXTERN_C_END

#endif /* RK_STRING_H */
