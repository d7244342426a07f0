// reader.cpp - a STAPL player's reading of a text. See reader.h.
#include "reader.h"

#include "scan.h"

namespace {

// The last three bytes remembered when they are C, R, C.
const std::uint32_t crc_letters = 'C' << 16 | 'R' << 8 | 'C';

int hex_digit(unsigned char byte)
{
	if (byte >= '0' && byte <= '9')
		return byte - '0';
	if (byte >= 'A' && byte <= 'F')
		return byte - 'A' + 10;
	if (byte >= 'a' && byte <= 'f')
		return byte - 'a' + 10;
	return -1;
}

} // namespace

bool is_player_space(unsigned char byte)
{
	return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' ||
	       byte == '\v';
}

bool is_line_space(unsigned char byte)
{
	return byte != '\n' && is_player_space(byte);
}

bool is_name_byte(unsigned char byte)
{
	return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
	       (byte >= '0' && byte <= '9') || byte == '_';
}

stapl_reader reader_at_start()
{
	// Nothing remembered yet: no white space before a first C.
	return {READ_CODE, false, false, false, 0};
}

stapl_reader reader_in_declaration()
{
	return {READ_CODE, true, false, true, 0};
}

bool reader_between_statements(const stapl_reader *reader)
{
	return reader->mode == READ_CODE && !reader->in_statement;
}

bool reader_may_find_keyword(const stapl_reader *reader)
{
	return reader->mode == READ_CODE && (!reader->in_statement || reader->in_first_word);
}

read_event reader_feed(stapl_reader *reader, const unsigned char *data, std::size_t length,
                       std::size_t *at)
{
	std::size_t i = 0;
	while (i < length) {
		// A comment, a string, and a statement past its first word hold
		// nothing the test can fire on: only the byte that ends them
		// matters, and the bytes before it are passed over at once. The
		// test looks at the four bytes before its white space, and the
		// three nearest are its C, R, C, so the fourth is at worst the byte
		// that ended such a run: what the run held is never looked at.
		if (reader->mode == READ_COMMENT)
			i += find_either(data + i, length - i, '\n', 0);
		else if (reader->mode == READ_STRING)
			i += find_either(data + i, length - i, '"', 0);
		else if (reader->in_statement && !reader->in_first_word)
			i += find_statement_stop(data + i, length - i);
		if (i == length)
			break;
		unsigned char byte = data[i];
		if (byte == '\r') {
			++i;
			continue;
		}
		if (byte == 0) {
			*at = i;
			return READ_NUL;
		}
		bool opened = false;
		if (reader->mode == READ_CODE && (byte == '\'' || byte == '"')) {
			reader->mode = byte == '\'' ? READ_COMMENT : READ_STRING;
			opened = true;
		}
		if (reader->mode == READ_CODE && reader->in_first_word && is_player_space(byte) &&
		    (reader->recent & 0xFFFFFF) == crc_letters &&
		    is_player_space(static_cast<unsigned char>(reader->recent >> 24))) {
			*at = i;
			return READ_CRC_STATEMENT;
		}
		++i;
		reader->recent = reader->recent << 8 | byte;
		if (reader->mode == READ_CODE) {
			if (is_name_byte(byte)) {
				if (!reader->in_statement)
					reader->in_statement = reader->in_first_word = true;
				continue;
			}
			reader->in_first_word = false;
			if (byte == ';' && reader->in_statement) {
				reader->in_statement = false;
				if (reader->report_end) {
					*at = i;
					return READ_STATEMENT_END;
				}
			}
		} else if (!opened && byte == (reader->mode == READ_COMMENT ? 0x0A : 0x22)) {
			reader->mode = READ_CODE;
		}
	}
	*at = length;
	return READ_ALL;
}

crc_value_reading value_reading_start()
{
	return {VALUE_SPACE, 0, 0};
}

std::size_t read_crc_value(crc_value_reading *reading, const unsigned char *data,
                           std::size_t length)
{
	for (std::size_t i = 0; i < length; ++i) {
		unsigned char byte = data[i];
		if (byte == '\r')
			continue;
		switch (reading->phase) {
		case VALUE_SPACE:
			if (is_player_space(byte))
				continue;
			reading->phase = VALUE_DIGITS;
			[[fallthrough]];
		case VALUE_DIGITS: {
			int digit = hex_digit(byte);
			if (digit >= 0 && reading->digits < 4) {
				reading->value = reading->value * 16 + static_cast<unsigned>(digit);
				++reading->digits;
				continue;
			}
			if (reading->digits < 4 || digit >= 0) {
				reading->phase = VALUE_BROKEN;
				return i;
			}
			reading->phase = VALUE_SPACE_AFTER;
			[[fallthrough]];
		}
		case VALUE_SPACE_AFTER:
			if (is_player_space(byte))
				continue;
			reading->phase = byte == ';' ? VALUE_WELL_FORMED : VALUE_BROKEN;
			return byte == ';' ? i + 1 : i;
		default:
			return i;
		}
	}
	return length;
}
