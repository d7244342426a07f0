// crc16.h - the checksum a STAPL player expects in a file's CRC statement.
//
// The CRC is the bit-reflected CCITT CRC-16 (polynomial 0x8408 reflected,
// preset 0xFFFF, result complemented; CRC-16/X-25 in the catalogues) taken
// over every byte of the text except carriage returns, so a file checks the
// same whether its lines end in CR LF or in LF alone.
//
// A CRC is a value: start from crc16_preset, pass the register through
// crc16_update (or crc16_feed, byte by byte) over every byte of the text in
// order, and format crc16_value of the result with crc16_format_statement.
#ifndef MORVET_CRC16_H
#define MORVET_CRC16_H

#include <cstddef>
#include <cstdint>

const std::uint16_t crc16_preset = 0xFFFF;

// The register crc with one byte folded in, by the eight shift-and-test
// steps a player makes; a carriage return leaves it as it is. The
// reference for everything else here.
std::uint16_t crc16_feed(std::uint16_t crc, std::uint8_t byte);

// The same as crc16_feed over each of the length bytes at data, eight bytes
// a step through tables. The number of bytes fed (carriage returns not
// counted) is added to *fed.
std::uint16_t crc16_update(std::uint16_t crc, const unsigned char *data, std::size_t length,
                           std::uint64_t *fed);

// The register crc turns into when length more zero bytes are fed: what
// feeding the same text into two registers does to their difference, so
// that one text's CRC follows from another's without feeding it twice.
std::uint16_t crc16_extend_by_zeros(std::uint16_t crc, std::uint64_t length);

// The CRC value of a register: its complement.
std::uint16_t crc16_value(std::uint16_t crc);

// Longest statement crc16_format_statement writes, its NUL included.
const std::size_t crc16_statement_size = 12;

// Writes "CRC XXXX;\r\n" with the value as four upper-case hex digits into
// text (crc16_statement_size bytes); returns its length without the NUL.
std::size_t crc16_format_statement(std::uint16_t value, char *text);

#endif
