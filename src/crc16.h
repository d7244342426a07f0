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
// without a call per byte: this loop is where a run spends its time. It
// takes the fastest path this CPU can run (see below).
void crc16_feed_block(const unsigned char *data, std::size_t length);

// The ways of feeding a block. Every one runs the same eight shift-and-test
// steps per byte; the faster ones cut the block into segments, run one
// chain per segment side by side, and join the segments' registers with
// arithmetic on polynomials over GF(2).
enum crc16_path {
	CRC16_SINGLE,  // one chain, byte after byte: the reference
	CRC16_SCALAR4, // four chains in plain integer registers
	CRC16_VEC128,  // 32 chains in 16-bit lanes of 128-bit vectors (SSE2, NEON)
	CRC16_VEC256,  // 64 chains in 256-bit vectors (AVX2)
	CRC16_VEC512,  // 128 chains in 512-bit vectors (AVX-512BW)
	CRC16_PATH_COUNT
};

// Whether this build and this CPU can run the path.
bool crc16_path_available(crc16_path path);

// A short name for reports ("single", "scalar4", "vec128", ...).
const char *crc16_path_name(crc16_path path);

// The path crc16_feed_block takes: the fastest available one.
crc16_path crc16_best_path();

// crc16_feed_block through the given path, which must be available.
void crc16_feed_block_via(crc16_path path, const unsigned char *data, std::size_t length);

// The register a CRC register crc turns into when length more bytes of
// zeros are fed (carriage returns not counted, since they are not fed).
std::uint16_t crc16_extend_by_zeros(std::uint16_t crc, std::uint64_t length);

// The CRC value: the complement of the running register.
std::uint16_t crc16_value();

// Longest statement crc16_format_statement writes, its NUL included.
const std::size_t crc16_statement_size = 12;

// Writes "CRC XXXX;\r\n" with the value as four upper-case hex digits into
// text (crc16_statement_size bytes); returns its length without the NUL.
std::size_t crc16_format_statement(std::uint16_t value, char *text);

#endif
