// crc16.cpp - the file CRC, computed bit by bit as STAPL players do it.
#include "crc16.h"

#include <cstdio>

std::uint16_t crc16_running = crc16_preset;

namespace {

// One byte into a register held in a full-width local: keeping the hot loop
// out of 16-bit arithmetic spares the compiler a mask on every step.
inline unsigned feed_byte(unsigned crc, unsigned byte)
{
	for (int bit = 0; bit < 8; ++bit) {
		unsigned test = (byte ^ crc) & 1u;
		crc >>= 1;
		if (test)
			crc ^= 0x8408u;
		byte >>= 1;
	}
	return crc;
}

} // namespace

void crc16_feed(std::uint8_t byte)
{
	if (byte == '\r')
		return;
	crc16_running = static_cast<std::uint16_t>(feed_byte(crc16_running, byte));
}

void crc16_feed_block(const unsigned char *data, std::size_t length)
{
	unsigned crc = crc16_running;
	for (std::size_t i = 0; i < length; ++i) {
		if (data[i] != '\r')
			crc = feed_byte(crc, data[i]);
	}
	crc16_running = static_cast<std::uint16_t>(crc);
}

std::uint16_t crc16_value()
{
	return static_cast<std::uint16_t>(~crc16_running);
}

std::size_t crc16_format_statement(std::uint16_t value, char *text)
{
	int length = std::snprintf(text, crc16_statement_size, "CRC %04X;\r\n",
	                           static_cast<unsigned>(value));
	return static_cast<std::size_t>(length);
}
