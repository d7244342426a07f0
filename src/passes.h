// passes.h - the two passes of a run over streams: the copy pass, which
// applies the statement rules while reading the text as a player will, and
// the CRC pass, which reads back what was written and appends the statement.
//
// Calling sequence for one file: reset_findings, copy_pass, and (when it
// wrote to a file and is done) crc_pass on that file. With no output file
// the copy pass compares instead: it tells whether patching would change
// the input, and why (the findings), writing nothing.
#ifndef MORVET_PASSES_H
#define MORVET_PASSES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum pass_result {
	PASS_DONE,
	PASS_READ_FAILED,
	PASS_WRITE_FAILED,
	PASS_REFUSED, // the text must not be certified: findings.refusal says why
};

enum refusal_reason {
	REFUSE_NOTHING,
	REFUSE_NOT_TEXT,                 // a byte-order mark of UTF-16/32 or a NUL byte
	REFUSE_MORE_THAN_DECLARATION,    // a forced declaration shares its line
	REFUSE_UNFINISHED_DECLARATION,   // a forced declaration's ';' never comes
	REFUSE_CRC_INSIDE_LINE,          // a CRC statement that rule 3 cannot take
	REFUSE_UNFINISHED_STRING,        // the text ends inside a string
	REFUSE_UNFINISHED_STATEMENT,     // the text ends inside a statement
	REFUSE_TOO_MUCH_SPACE,           // a line's rule cannot be decided in bounded memory
};

// What one copy pass found. The comparison fields are only filled when it
// compares (no output file).
struct copy_findings {
	refusal_reason refusal;
	unsigned long refusal_line;   // counted from 1, lines ending at line feeds
	bool changed;                 // patching would change the file
	bool crc_statement_found;
	bool crc_stored_valid;        // four hex digits follow the keyword
	std::uint16_t crc_stored;
	std::uint16_t crc_computed;   // over the file's text before the statement
	bool use_rck_not_forced;
	bool freq_not_forced;
	bool text_after_crc;
};

void reset_findings(copy_findings *findings);

// Copies in to out through the statement rules, up to the old CRC statement
// or the end of in, and reads the rest of in only to look for NUL bytes.
// Every byte written is read as a player reads it; anything a player would
// misread ends the pass with PASS_REFUSED. With out null nothing is written,
// and the running CRC is fed with the input's own text up to its CRC
// statement, for the comparison. Constant memory: fixed buffers only.
pass_result copy_pass(std::FILE *in, std::FILE *out, copy_findings *findings);

// Reads back everything the copy pass wrote to text (a stream open for
// update), feeds it to the running CRC and appends the CRC statement on a
// line of its own, first ending an unfinished last line with CR LF.
pass_result crc_pass(std::FILE *text);

// The refusal as the tool words it after "Can't patch <path>: ", into text
// (size bytes, always terminated).
void describe_refusal(const copy_findings *findings, char *text, std::size_t size);

// The comparison's verdict after "<path>: ": "patched" or "not patched:
// <reasons>", into text (size bytes, always terminated).
void describe_check(const copy_findings *findings, char *text, std::size_t size);

#endif
