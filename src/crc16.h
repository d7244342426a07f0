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
// steps; a carriage return leaves it as it is. The reference for all else.
std::uint16_t crc16_feed(std::uint16_t crc, std::uint8_t byte);

// The same as crc16_feed over each of the length bytes at data, without a
// call per byte: this loop is where a run spends its time. It takes the
// fastest path this CPU can run (see below). When fed is not null, the
// number of bytes fed (carriage returns not counted) is added to *fed.
std::uint16_t crc16_update(std::uint16_t crc, const unsigned char *data, std::size_t length,
                           std::uint64_t *fed = nullptr);

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

// The path crc16_update takes: the fastest available one. The first call
// must come before any second thread computes a CRC.
crc16_path crc16_best_path();

// crc16_update through the given path, which must be available.
std::uint16_t crc16_update_via(crc16_path path, std::uint16_t crc, const unsigned char *data,
                               std::size_t length, std::uint64_t *fed = nullptr);

// The register a CRC register crc turns into when length more bytes of
// zeros are fed (carriage returns not counted, since they are not fed).
std::uint16_t crc16_extend_by_zeros(std::uint16_t crc, std::uint64_t length);

// The CRC value of a register: its complement.
std::uint16_t crc16_value(std::uint16_t crc);

// Longest statement crc16_format_statement writes, its NUL included.
const std::size_t crc16_statement_size = 12;

// Writes "CRC XXXX;\r\n" with the value as four upper-case hex digits into
// text (crc16_statement_size bytes); returns its length without the NUL.
std::size_t crc16_format_statement(std::uint16_t value, char *text);

#endif
