/* Shared bits of the Wine test helpers: hex coding of byte strings and the
 * line-oriented report file every helper writes (one line per event, flushed
 * at once, so a reader sees whatever was written before a crash or kill). */
#ifndef VOKXP_TEST_HELPERS_COMMON_H
#define VOKXP_TEST_HELPERS_COMMON_H

#include <stddef.h>

/* Decodes lower- or upper-case hex into a new NUL-terminated buffer ("-" is
 * the empty string). Returns NULL on odd length or a non-hex digit. *len
 * (if not NULL) receives the byte count. The caller frees the buffer. */
char *hex_decode(const char *hex, size_t *len);

/* Opens the report file (truncating it). Returns 0 on success. */
int out_open(const char *path);

/* Appends printf-formatted text plus "\r\n" to the report and flushes it. */
void out_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Build a line piecewise: out_text() writes formatted text, out_hex() writes
 * bytes as lower-case hex (or "-" when len is 0), out_end() ends the line
 * with "\r\n" and flushes. */
void out_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void out_hex(const void *data, size_t len);
void out_end(void);

/* Finds "--out FILE" anywhere in argv and opens it; misuse if absent. */
void out_open_from_args(int argc, char **argv);

/* Reports misuse: writes "usage-error <message>" to the report if it is open
 * and to stderr, then exits with code 2. */
void usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2), noreturn));

#endif
