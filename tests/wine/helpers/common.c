/* Shared bits of the Wine test helpers: hex coding and the report file. */
#include "common.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static FILE *out_file;

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char *hex_decode(const char *hex, size_t *len)
{
    size_t n, i;
    char *buf;

    if (strcmp(hex, "-") == 0) hex = "";
    n = strlen(hex);
    if (n % 2) return NULL;
    buf = malloc(n / 2 + 1);
    if (!buf) return NULL;
    for (i = 0; i < n / 2; i++) {
        int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            free(buf);
            return NULL;
        }
        buf[i] = (char)(hi * 16 + lo);
    }
    buf[n / 2] = 0;
    if (len) *len = n / 2;
    return buf;
}

int out_open(const char *path)
{
    out_file = fopen(path, "wb");
    return out_file ? 0 : -1;
}

static void out_vtext(const char *fmt, va_list ap)
{
    if (out_file) vfprintf(out_file, fmt, ap);
}

void out_text(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    out_vtext(fmt, ap);
    va_end(ap);
}

void out_hex(const void *data, size_t len)
{
    const unsigned char *p = data;
    size_t i;

    if (!out_file) return;
    if (len == 0) {
        fputc('-', out_file);
        return;
    }
    for (i = 0; i < len; i++) fprintf(out_file, "%02x", p[i]);
}

void out_end(void)
{
    if (!out_file) return;
    fputs("\r\n", out_file);
    fflush(out_file);
}

void out_line(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    out_vtext(fmt, ap);
    va_end(ap);
    out_end();
}

void usage_error(const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    fputs("usage-error ", stderr);
    vfprintf(stderr, fmt, ap);
    fputs("\n", stderr);
    va_end(ap);
    if (out_file) {
        va_start(ap, fmt);
        fputs("usage-error ", out_file);
        vfprintf(out_file, fmt, ap);
        va_end(ap);
        out_end();
        fclose(out_file);
    }
    exit(2);
}

void out_open_from_args(int argc, char **argv)
{
    int i;

    for (i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "--out") == 0) {
            if (out_open(argv[i + 1]) != 0) usage_error("cannot open report file %s", argv[i + 1]);
            return;
        }
    }
    usage_error("missing --out FILE");
}
