// The documentation is held to the program: every text src/report.cpp can
// print is in the manual page, and what goes to standard output, the
// refusals and the warnings are in the README as well (the causes on
// standard error only in the manual page). A text is read from the source
// as the compiler reads it (adjacent literals joined), cut at its printf
// conversions and line ends into the pieces a reader sees whole.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_text(const char *path)
{
	std::ifstream in(path, std::ios::binary);
	EXPECT_TRUE(in.good()) << path;
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

// The definitions whose texts are only the help's, and those that also
// belong in the README.
const std::set<std::string> help_texts = {"options_text", "other_options_text",
                                          "help_option_text", "manual_text"};
const std::set<std::string> for_readme = {
	"usage_text", "say", "formats", "refusal_texts", "check_verdict", "report_warnings",
	"verdict_cant_open", "verdict_cant_read", "reason_changed", "reason_open_for_writing",
	"reason_encrypted", "reason_owner_not_kept"};

// Every string literal of source, adjacent ones joined, with the name of
// the top-level definition it stands in (namespaces do not count).
std::vector<std::pair<std::string, std::string>> literals(const std::string &source)
{
	std::vector<std::pair<std::string, std::string>> found;
	std::string definition, word, last_word, literal;
	std::vector<bool> braces; // true for a namespace's
	int depth = 0;
	bool in_literal = false, after_namespace = false;
	for (std::size_t i = 0; i < source.size(); ++i) {
		char c = source[i];
		if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
			word += c;
			continue;
		}
		if (!word.empty()) {
			after_namespace = after_namespace || word == "namespace";
			last_word = word;
			word.clear();
		}
		if (c == '/' && source.compare(i, 2, "//") == 0) {
			i = source.find('\n', i);
			continue;
		}
		if (std::isspace(static_cast<unsigned char>(c)))
			continue;
		if (c == '\'') { // a character literal
			i = source.find('\'', i + (source[i + 1] == '\\' ? 3 : 2));
			continue;
		}
		if (c == '"') {
			std::string piece;
			for (++i; source[i] != '"'; ++i) {
				if (source[i] != '\\') {
					piece += source[i];
					continue;
				}
				char escaped = source[++i];
				piece += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
			}
			literal = in_literal ? literal + piece : piece;
			in_literal = true;
			continue;
		}
		if (in_literal) {
			found.emplace_back(definition, literal);
			in_literal = false;
		}
		if ((c == '(' || c == '[') && depth == 0 && !last_word.empty())
			definition = last_word;
		last_word.clear();
		if (c == '{') {
			braces.push_back(after_namespace);
			depth += after_namespace ? 0 : 1;
		} else if (c == '}' && !braces.empty()) {
			depth -= braces.back() ? 0 : 1;
			braces.pop_back();
		}
		if (c == '{' || c == ';')
			after_namespace = false;
	}
	return found;
}

// The pieces of a text a reader sees whole: cut at its conversions and
// line ends, with at least two words.
std::vector<std::string> pieces(const std::string &text)
{
	std::vector<std::string> result;
	std::string piece;
	auto finish = [&] {
		std::size_t from = piece.find_first_not_of(' '), to = piece.find_last_not_of(' ');
		if (from != std::string::npos) {
			piece = piece.substr(from, to - from + 1);
			if (piece.find(' ') != std::string::npos)
				result.push_back(piece);
		}
		piece.clear();
	};
	for (std::size_t i = 0; i < text.size(); ++i) {
		if (text[i] == '%') {
			while (i + 1 < text.size() && !std::isalpha(static_cast<unsigned char>(text[i + 1])))
				++i;
			while (i + 1 < text.size() && text[i + 1] == 'l')
				++i;
			++i;
			finish();
		} else if (text[i] == '\n') {
			finish();
		} else {
			piece += text[i];
		}
	}
	finish();
	return result;
}

std::string collapse(const std::string &text)
{
	std::string result;
	for (char c : text) {
		if (std::isspace(static_cast<unsigned char>(c))) {
			if (!result.empty() && result.back() != ' ')
				result += ' ';
		} else {
			result += c;
		}
	}
	return result;
}

// The manual page's text with its markup taken out.
std::string manual_text(const std::string &page)
{
	std::istringstream lines(page);
	std::string text;
	for (std::string line; std::getline(lines, line);) {
		if (line.compare(0, 3, ".\\\"") == 0)
			continue;
		if (!line.empty() && line[0] == '.')
			line = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
		text += line + "\n";
	}
	const std::pair<std::string, std::string> escapes[] = {
		{"\\fB", ""}, {"\\fI", ""}, {"\\fR", ""}, {"\\fP", ""}, {"\\-", "-"}, {"\\(aq", "'"},
		{"\\(dq", ""}, {"\\(bu", ""}, {"\\&", ""}, {"\\e", "\\"}, {"\"", ""}};
	for (const auto &escape : escapes) {
		for (std::size_t at; (at = text.find(escape.first)) != std::string::npos;)
			text.replace(at, escape.first.size(), escape.second);
	}
	return collapse(text);
}

TEST(Documentation, NamesEveryTextTheProgramPrints)
{
	std::string manual = manual_text(read_text(MORVET_MANUAL));
	std::string readme = read_text(MORVET_README);
	for (std::size_t at; (at = readme.find('`')) != std::string::npos;)
		readme.erase(at, 1);
	readme = collapse(readme);
	std::size_t checked = 0;
	for (const auto &found : literals(read_text(MORVET_REPORT_SOURCE))) {
		if (help_texts.count(found.first) != 0)
			continue;
		for (const std::string &piece : pieces(found.second)) {
			++checked;
			EXPECT_NE(manual.find(piece), std::string::npos)
				<< "the manual page lacks \"" << piece << "\" (" << found.first << ")";
			if (for_readme.count(found.first) != 0) {
				EXPECT_NE(readme.find(piece), std::string::npos)
					<< "the README lacks \"" << piece << "\" (" << found.first << ")";
			}
		}
	}
	EXPECT_GT(checked, 60u) << "the texts were not found in the source";
}

} // namespace
