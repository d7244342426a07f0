// scan.h - the byte searches the copy pass makes over every byte of a file:
// where a statement's text next needs a look (';', a quote, a comment or a
// NUL byte), where a comment or a string ends, and how many line feeds a
// stretch holds. They take the widest vectors this CPU has (32 bytes with
// AVX2, else 16), chosen on first use.
#ifndef MORVET_SCAN_H
#define MORVET_SCAN_H

#include <cstddef>

// The offset of the first of ';', '\'', '"' or NUL in data, or length.
std::size_t find_statement_stop(const unsigned char *data, std::size_t length);

// The offset of the first a or b in data, or length.
std::size_t find_either(const unsigned char *data, std::size_t length, unsigned char a,
                        unsigned char b);

// The number of line feeds among length bytes at data.
unsigned long count_line_feeds(const unsigned char *data, std::size_t length);

#endif
