// crc_beside.h - the CRCs of one file, computed beside the copy.
//
// The copy pass hands over, in order, what it keeps of the input, what it
// drops and what it inserts. Two registers come of it: the output's, for
// the new CRC statement, and the input's own up to its old CRC statement,
// to tell whether that statement matched. They share the work of the kept
// text: feeding the same bytes into two registers changes their difference
// only by carrying it over those bytes (the CRC is linear), so a kept
// stretch is fed once, and only the difference is carried.
//
// Where a second processor is there, a helper thread does the feeding
// while the copy goes on, as soon as the file fills more than one block;
// otherwise (one processor, a thread that cannot start, a small file) the
// bytes are fed as they are handed over. The registers are the same either
// way.
//
// The bytes handed over are not copied: the caller keeps them in place
// until the second call of crc_beside_next_block after them.
#ifndef MORVET_CRC_BESIDE_H
#define MORVET_CRC_BESIDE_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

enum crc_span_kind : unsigned char {
	SPAN_KEEP,        // in the input and the output
	SPAN_DROP,        // in the input only
	SPAN_INSERT,      // in the output only
	SPAN_CLOSE_INPUT, // the input's own CRC ends here
};

struct crc_span {
	crc_span_kind kind;
	const unsigned char *data;
	std::size_t length;
};

const unsigned crc_queue_size = 256;

struct crc_beside {
	// Fed by one thread at a time: the helper once it runs.
	std::uint16_t output;     // the output's register so far
	std::uint16_t difference; // the input's register XOR the output's
	bool input_open;
	std::uint16_t input;      // the input's register once closed

	bool helper_allowed;
	bool helper_running;
	unsigned blocks;        // blocks begun so far
	worker helper;
	// Under the helper's lock.
	crc_span queue[crc_queue_size];
	std::uint64_t submitted;
	std::uint64_t done;
	bool stopping;
	std::uint64_t boundary; // submitted at the last crc_beside_next_block
};

// Starts the CRCs of a file from the preset. helper_allowed: a helper
// thread may take the work.
void crc_beside_begin(crc_beside *crc, bool helper_allowed);

// Hands over the next piece of the texts.
void crc_beside_add(crc_beside *crc, crc_span_kind kind, const unsigned char *data,
                    std::size_t length);

// The caller moves on to another block of its input: bytes it handed over
// before the previous such call may be overwritten once this returns.
void crc_beside_next_block(crc_beside *crc);

// Waits until everything handed over is fed and ends the helper; then
// gives the registers (the input's as it was where it was closed, or at
// the end). Safe to call on every path, more than once.
void crc_beside_end(crc_beside *crc, std::uint16_t *output, std::uint16_t *input);

#endif
