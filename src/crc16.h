// crc16.h - the checksum a STAPL player expects in a file's CRC statement.
//
// The CRC is the bit-reflected CCITT CRC-16 (polynomial 0x8408 reflected,
// preset 0xFFFF, result complemented; CRC-16/X-25 in the catalogues) taken
// over every byte of the text except carriage returns, so a file checks the
// same whether its lines end in CR LF or in LF alone.
//
// Calling sequence: feed every byte of the text, in order, through
// crc16_feed or crc16_feed_block, then call crc16_format_statement once.
// There is one running register for the whole process; nothing resets it,
// because one run computes one CRC.
#ifndef MORVET_CRC16_H
#define MORVET_CRC16_H

#include <cstddef>
#include <cstdint>

// The running register. Holds the preset from program start; only the
// feed functions change it. Tests may store the preset back between cases.
extern std::uint16_t crc16_running;

const std::uint16_t crc16_preset = 0xFFFF;

// Folds one byte into the running CRC; a carriage return leaves it as it is.
void crc16_feed(std::uint8_t byte);

// Same result as calling crc16_feed for each of the length bytes at data,
// without a call per byte: this loop is where a run spends its time.
void crc16_feed_block(const unsigned char *data, std::size_t length);

// The CRC value: the complement of the running register.
std::uint16_t crc16_value();

// Longest statement crc16_format_statement writes, its NUL included.
const std::size_t crc16_statement_size = 12;

// Writes "CRC XXXX;\r\n" with the value as four upper-case hex digits into
// text (crc16_statement_size bytes); returns its length without the NUL.
std::size_t crc16_format_statement(std::uint16_t value, char *text);

#endif
