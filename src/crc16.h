// crc16.h - the checksum a STAPL player expects in a file's CRC statement.
//
// The bit-reflected CCITT CRC-16 (CRC-16/X-25 in the catalogues: 0x8408,
// preset 0xFFFF, result complemented) over every byte of the text but
// carriage returns, so a file checks the same with CR LF or LF line ends.
// A register is a value: start from crc16_preset, pass it through
// crc16_update over the text, format crc16_value of the result.
#ifndef MORVET_CRC16_H
#define MORVET_CRC16_H

#include <cstddef>
#include <cstdint>

const std::uint16_t crc16_preset = 0xFFFF;
const std::size_t crc16_statement_size = 12; // "CRC XXXX;\r\n" and its NUL

// One byte folded in by the eight shift-and-test steps a player makes (a
// carriage return leaves crc as it is): the reference for the rest.
std::uint16_t crc16_feed(std::uint16_t crc, std::uint8_t byte);

// crc16_feed over length bytes, through a table or folded sixteen a step;
// the bytes fed (carriage returns not counted) are added to *fed.
std::uint16_t crc16_update(std::uint16_t crc, const unsigned char *data, std::size_t length,
                           std::uint64_t *fed);

// crc after length zero bytes: what feeding one text into two registers
// does to their difference, so one text's CRC follows from another's.
std::uint16_t crc16_extend_by_zeros(std::uint16_t crc, std::uint64_t length);

inline std::uint16_t crc16_value(std::uint16_t crc) { return static_cast<std::uint16_t>(~crc); }

// Writes "CRC XXXX;\r\n" (four upper-case hex digits) into text; its length.
std::size_t crc16_format_statement(std::uint16_t value, char *text);

#endif
