// stapl_reference.h - an independent way to compute what a patched file must
// end with, for checking the tool's results: a table-driven CRC-16/X-25 built
// from the polynomial, unlike the tool's bit-by-bit loop, and the check a
// STAPL player makes when it loads a file.
#ifndef MORVET_TESTS_STAPL_REFERENCE_H
#define MORVET_TESTS_STAPL_REFERENCE_H

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::uint16_t reference_crc(const std::string &text)
{
	static std::uint16_t table[256];
	static bool built = false;
	if (!built) {
		for (unsigned n = 0; n < 256; ++n) {
			unsigned value = n;
			for (int k = 0; k < 8; ++k)
				value = (value & 1) ? (value >> 1) ^ 0x8408 : value >> 1;
			table[n] = static_cast<std::uint16_t>(value);
		}
		built = true;
	}
	unsigned crc = 0xFFFF;
	for (unsigned char byte : text) {
		if (byte != '\r')
			crc = (crc >> 8) ^ table[(crc ^ byte) & 0xFF];
	}
	return static_cast<std::uint16_t>(~crc & 0xFFFF);
}

// text followed by the CRC statement that certifies it.
inline std::string with_crc(const std::string &text)
{
	char statement[16];
	std::snprintf(statement, sizeof statement, "CRC %04X;\r\n", reference_crc(text));
	return text + statement;
}

// True when file ends with one CRC statement, beginning a line, whose value
// matches every byte before it, the way a player verifies a file.
inline bool carries_valid_crc(const std::string &file)
{
	const std::size_t statement_length = 11; // "CRC XXXX;\r\n"
	if (file.size() < statement_length)
		return false;
	std::size_t start = file.size() - statement_length;
	if (start > 0 && file[start - 1] != '\n')
		return false;
	std::string text = file.substr(0, start);
	return file.compare(start, std::string::npos, with_crc(text), start, std::string::npos) == 0;
}

// A STAPL player's CRC check, written from its description and apart from
// the tool's own reader: it reads the bytes in order and skips every CR.
// Every other byte is fed to the CRC; then, outside a comment and a
// string, ' opens a comment and " a string. The check fires where, outside
// a comment and a string and inside a statement's first word, the last
// four bytes remembered are white space, C, R, C and the byte at hand is
// white space; then white space, four hex digits, white space and ';' must
// follow, compared with the CRC of everything before that C. After that
// test, outside a comment and a string, a name byte opens a statement and
// its first word when none is open; any other byte ends the first word;
// ';' ends the statement. A line feed ends a comment, the second " a
// string. The first place the check fires ends the reading.
struct player_reading {
	bool found;            // the check fired
	std::size_t keyword;   // at the C of this offset
	bool well_formed;      // and the statement there reads as one
	std::uint16_t stored;  // its value
	std::uint16_t computed; // the CRC of the bytes before its C
};

inline player_reading player_check(const std::string &file)
{
	auto is_space = [](char c) {
		return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
	};
	auto is_name = [](char c) {
		return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
		       c == '_';
	};
	player_reading reading{false, 0, false, 0, 0};
	std::string last; // the last four bytes remembered
	std::vector<std::size_t> last_at;
	bool comment = false, string = false, statement = false, first_word = false;
	for (std::size_t i = 0; i < file.size(); ++i) {
		char c = file[i];
		if (c == '\r')
			continue;
		bool opened = false;
		if (!comment && !string && (c == '\'' || c == '"')) {
			(c == '\'' ? comment : string) = true;
			opened = true;
		}
		if (!comment && !string && first_word && is_space(c) && last.size() == 4 &&
		    is_space(last[0]) && last.compare(1, 3, "CRC") == 0) {
			reading.found = true;
			reading.keyword = last_at[1];
			reading.computed = reference_crc(file.substr(0, reading.keyword));
			std::string value;
			std::size_t j = i;
			auto skip_space = [&] {
				while (j < file.size() && is_space(file[j]))
					++j;
			};
			skip_space();
			while (j < file.size() && value.size() < 5 &&
			       (std::isxdigit(static_cast<unsigned char>(file[j])) || file[j] == '\r')) {
				if (file[j] != '\r')
					value += file[j];
				++j;
			}
			skip_space();
			reading.well_formed = value.size() == 4 && j < file.size() && file[j] == ';';
			if (reading.well_formed)
				reading.stored = static_cast<std::uint16_t>(std::stoul(value, nullptr, 16));
			return reading;
		}
		if (!comment && !string) {
			if (is_name(c)) {
				if (!statement)
					statement = first_word = true;
			} else {
				first_word = false;
				if (c == ';')
					statement = false;
			}
		} else if (!opened && comment && c == '\n') {
			comment = false;
		} else if (!opened && string && c == '"') {
			string = false;
		}
		last += c;
		last_at.push_back(i);
		if (last.size() > 4) {
			last.erase(0, 1);
			last_at.erase(last_at.begin());
		}
	}
	return reading;
}

// The statements a player's interpreter runs, read apart from the tool's
// own rules: statement by statement, a comment running from ' to CR or LF,
// strings opaque, words parted by space, tab, CR and LF (every other byte
// that is no letter, digit or _ a word of its own), labels (a name and ":")
// passed over, a UTF-8 byte-order mark at the start left out as Notepad's.
// Each statement is its words, as written.
inline std::vector<std::vector<std::string>> interpreter_statements(const std::string &file)
{
	std::vector<std::string> statements;
	std::string current;
	bool comment = false, string = false;
	for (char c : file.compare(0, 3, "\xEF\xBB\xBF") == 0 ? file.substr(3) : file) {
		if (comment) {
			if (c == '\r' || c == '\n') {
				comment = false;
				current += ' ';
			}
		} else if (string) {
			current += c;
			string = c != '"';
		} else if (c == '\'') {
			comment = true;
		} else if (c == ';') {
			statements.push_back(current);
			current.clear();
		} else {
			current += c;
			string = c == '"';
		}
	}
	auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
	std::vector<std::vector<std::string>> found;
	for (const std::string &statement : statements) {
		std::vector<std::string> words;
		std::string word;
		for (char c : statement + " ") {
			bool name = std::isalnum(static_cast<unsigned char>(c)) || c == '_';
			if (name) {
				word += c;
				continue;
			}
			if (!word.empty())
				words.push_back(word);
			word.clear();
			if (!is_blank(c))
				words.push_back(std::string(1, c));
		}
		while (words.size() >= 2 && words[1] == ":" &&
		       (std::isalnum(static_cast<unsigned char>(words[0][0])) || words[0][0] == '_'))
			words.erase(words.begin(), words.begin() + 2);
		found.push_back(words);
	}
	return found;
}

// A declaration of USE_RCK or freq as a player's interpreter runs it:
// BOOLEAN USE_RCK or INTEGER freq, letter case ignored.
struct interpreted_declaration {
	std::string variable; // USE_RCK or freq
	std::string value;    // what follows its =, blanks removed ("" for none)
};

inline bool is_declaration(const std::vector<std::string> &words, std::string *variable = nullptr)
{
	auto upper = [](std::string word) {
		for (char &c : word)
			c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
		return word;
	};
	if (words.size() < 2)
		return false;
	std::string type = upper(words[0]), name = upper(words[1]);
	bool declaration = (type == "BOOLEAN" && name == "USE_RCK") || (type == "INTEGER" && name == "FREQ");
	if (declaration && variable != nullptr)
		*variable = type == "BOOLEAN" ? "USE_RCK" : "freq";
	return declaration;
}

inline std::vector<interpreted_declaration> interpreter_declarations(const std::string &file)
{
	std::vector<interpreted_declaration> found;
	for (const std::vector<std::string> &words : interpreter_statements(file)) {
		interpreted_declaration d;
		if (!is_declaration(words, &d.variable))
			continue;
		auto equals = std::find(words.begin(), words.end(), "=");
		for (auto w = equals == words.end() ? equals : equals + 1; w != words.end(); ++w)
			d.value += *w;
		found.push_back(d);
	}
	return found;
}

// The statements but the declarations, each its words joined by a space:
// what patching must keep of the text before the CRC statement.
inline std::vector<std::string> other_statements(const std::string &file)
{
	std::vector<std::string> kept;
	for (const std::vector<std::string> &words : interpreter_statements(file)) {
		if (is_declaration(words))
			continue;
		std::string joined;
		for (const std::string &w : words)
			joined += (joined.empty() ? "" : " ") + w;
		kept.push_back(joined);
	}
	return kept;
}

// True when a player accepts file: its check fires, on a well-formed CRC
// statement whose value is the CRC of every byte before it.
inline bool player_accepts(const std::string &file)
{
	player_reading reading = player_check(file);
	return reading.found && reading.well_formed && reading.stored == reading.computed;
}

#endif
