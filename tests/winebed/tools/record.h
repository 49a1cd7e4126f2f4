/* Shared by the test-bed tools: writing records that the Python side can read
 * back byte-exactly. Fields are separated by tabs and records by line feeds;
 * inside a field every byte outside printable ASCII, and the escape character
 * itself, is written as %XX, so no name or text can break a record apart. */
#ifndef KORVANTA_WINEBED_RECORD_H
#define KORVANTA_WINEBED_RECORD_H

#include <stdio.h>

static inline void WriteEscaped(FILE* out, const char* bytes, size_t length) {
  static const char hex[] = "0123456789ABCDEF";
  size_t i;
  for (i = 0; i < length; ++i) {
    const unsigned char c = (unsigned char)bytes[i];
    if (c >= 0x20 && c < 0x7F && c != '%') {
      fputc(c, out);
    } else {
      fputc('%', out);
      fputc(hex[c >> 4], out);
      fputc(hex[c & 0xF], out);
    }
  }
}

static inline void WriteHex(FILE* out, const unsigned char* bytes, size_t length) {
  static const char hex[] = "0123456789abcdef";
  size_t i;
  for (i = 0; i < length; ++i) {
    fputc(hex[bytes[i] >> 4], out);
    fputc(hex[bytes[i] & 0xF], out);
  }
}

#endif
