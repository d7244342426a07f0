// fuzz_patch.cpp - random bytes through the tool's own plan, fed in pieces
// of a few bytes so that every rule and reading falls across the seams.
//
// For any input the tool either refuses it, or it keeps its promise on the
// text it writes: a STAPL player's CRC check (an independent model, with a
// table-driven CRC) fires nowhere before the appended CRC statement and
// fires on it, matching, the empty text's "CRC 0000;" alone excepted; the
// player's interpreter (another independent model) runs every USE_RCK and
// freq declaration forced, and every other statement before the old CRC
// statement as it was. A second plan over the result has nothing to
// change; the plan is the same whatever the pieces.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plan.h"
#include "stapl_reference.h"

namespace {

patch_plan plan;

void check(bool condition, const char *what)
{
	if (!condition) {
		std::fprintf(stderr, "invariant broken: %s\n", what);
		std::abort();
	}
}

// The plan of text, fed in pieces of piece bytes; "" when refused, else
// the patched text.
std::string patched(const std::string &text, std::size_t piece, bool *refused)
{
	plan_begin(&plan);
	const unsigned char *data = reinterpret_cast<const unsigned char *>(text.data());
	for (std::size_t done = 0; done < text.size(); done += piece)
		plan_feed(&plan, data + done, text.size() - done < piece ? text.size() - done : piece);
	plan_finish(&plan);
	*refused = !plan_accepted(&plan);
	if (*refused)
		return "";
	std::string result;
	std::uint64_t kept = 0;
	for (unsigned i = 0; i < plan.edit_count; ++i) {
		check(plan.edits[i].from >= kept && plan.edits[i].to >= plan.edits[i].from,
		      "edits are in order");
		result += text.substr(kept, plan.edits[i].from - kept);
		result.append(plan.edits[i].text, plan.edits[i].length);
		kept = plan.edits[i].to;
	}
	return result + text.substr(kept);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string input(reinterpret_cast<const char *>(data), size);
	bool refused, refused_whole;
	std::string result = patched(input, 1 + size % 5, &refused);
	std::string whole = patched(input, size + 1, &refused_whole);
	check(refused == refused_whole && result == whole, "the pieces do not change the plan");
	if (refused)
		return 0;
	if (result != "CRC 0000;\r\n") {
		player_reading reading = player_check(result);
		check(reading.found && reading.keyword == result.size() - 11,
		      "a player's check fires first on the appended CRC statement");
		check(reading.well_formed && reading.stored == reading.computed,
		      "a player accepts the result");
		// What the interpreter runs before the old CRC statement, but the
		// declarations, is there still, statement for statement.
		player_reading old = player_check(input);
		check(other_statements(old.found ? input.substr(0, old.keyword) : input) ==
		          other_statements(result.substr(0, result.size() - 11)),
		      "no statement but a declaration is dropped or changed");
	} else {
		// (Carriage returns are invisible to the check, here too.)
		std::string seen;
		for (char c : input)
			seen += c == '\r' ? "" : std::string(1, c);
		check(seen.empty() || (seen.compare(0, 3, "CRC") == 0 && std::isspace(seen[3] & 0xFF)),
		      "only an empty text or its own result becomes the empty text's result");
	}
	for (const interpreted_declaration &d : interpreter_declarations(result))
		check(d.value == (d.variable == "USE_RCK" ? "1" : "3"),
		      "the interpreter runs every declaration forced");
	bool again_refused;
	std::string again = patched(result, 3, &again_refused);
	check(!again_refused && again == result && plan.edit_count == 0,
	      "a second plan has nothing to change");
	return 0;
}
