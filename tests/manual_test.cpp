// The daemon's manual page against its sources: DIAGNOSTICS names every
// message the daemon's code can print, so a new report cannot go in
// without a word for the operator on what to do about it.
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testlib.h"

namespace quarn::test {
namespace {

// The calls that put a line on standard error, directly or by handing the
// text to the code that does.
const char* const REPORTING_CALLS[] = {"warn_errno",   "write_stderr",  "do_err",
                                       "set_ending", "dump_lost",     "writer_failed",      "append_owned_value"};

// Reads the C++ string literal at `at` (the opening quote) into `out`;
// returns the index after its closing quote.
size_t read_literal(const std::string& code, size_t at, std::string& out) {
    size_t i = at + 1;
    while (i < code.size() && code[i] != '"') {
        if (code[i] == '\\' && i + 1 < code.size()) {
            const char e = code[i + 1];
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            i += 2;
        } else {
            out += code[i++];
        }
    }
    return i + 1;
}

// The first run of adjacent string literals among the arguments of every
// call of `fn` in `code`.
std::vector<std::string> call_texts(const std::string& code, const std::string& fn) {
    std::vector<std::string> texts;
    for (size_t at = code.find(fn + "("); at != std::string::npos; at = code.find(fn + "(", at + 1)) {
        if (at > 0 && (isalnum(static_cast<unsigned char>(code[at - 1])) || code[at - 1] == '_')) continue;
        int depth = 0;
        std::string text;
        for (size_t i = at + fn.size(); i < code.size();) {
            const char c = code[i];
            if (c == '"') {
                do {
                    i = read_literal(code, i, text);
                    while (i < code.size() && isspace(static_cast<unsigned char>(code[i]))) i++;
                } while (i < code.size() && code[i] == '"');
                break;
            }
            if (c == '\'') {
                i += code[i + 1] == '\\' ? 4 : 3;
                continue;
            }
            if (c == '(') depth++;
            if (c == ')' && --depth == 0) break;
            i++;
        }
        if (!text.empty()) texts.push_back(text);
    }
    return texts;
}

// A printf format as a pattern: every conversion stands for any text.
std::string format_pattern(const std::string& format) {
    static const std::regex conversion(R"(%[-+ #0]*[0-9]*(\.[0-9]+)?(hh|h|ll|l|z|j|t)?[diouxXcsp])");
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string f = format;
    while (!f.empty() && f.back() == '\n') f.pop_back();
    std::string pattern;
    std::smatch m;
    while (std::regex_search(f, m, conversion)) {
        pattern += std::regex_replace(m.prefix().str(), special, R"(\$&)") + ".+";
        f = m.suffix().str();
    }
    return pattern + std::regex_replace(f, special, R"(\$&)");
}

// The quoted heads of DIAGNOSTICS' list items, as the reader sees them.
std::vector<std::string> manual_messages(const std::string& page) {
    std::vector<std::string> items;
    const size_t from = page.find("\n.Sh DIAGNOSTICS\n");
    if (from == std::string::npos) return items;
    const size_t to = page.find("\n.Sh ", from + 1);
    std::istringstream in(page.substr(from, to - from));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".It \"", 0) != 0 || line.back() != '"') continue;
        std::string text = line.substr(5, line.size() - 6);
        for (const auto& [escape, plain] : {std::pair<std::string, std::string>{"\\(dq", "\""}, {"\\e", "\\"}}) {
            for (size_t at; (at = text.find(escape)) != std::string::npos;) text.replace(at, escape.size(), plain);
        }
        items.push_back(text);
    }
    return items;
}

TEST(ManualPage, DiagnosticsNameEveryMessageOfTheDaemon) {
    const std::vector<std::string> items =
        manual_messages(read_text(std::string(QUARN_SOURCE_DIR) + "/doc/quarn_dumper.8"));
    ASSERT_FALSE(items.empty()) << "no DIAGNOSTICS list";

    size_t formats = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(QUARN_SOURCE_DIR) + "/src")) {
        if (entry.path().extension() != ".cpp") continue;
        const std::string code = read_text(entry.path());
        std::vector<std::string> texts;
        for (const char* fn : REPORTING_CALLS) {
            for (const std::string& t : call_texts(code, fn)) texts.push_back(t);
        }
        // Texts chosen before the call that prints them.
        static const std::regex chosen(R"re(\bwhat = "([^"]+)")re");
        for (std::sregex_iterator m(code.begin(), code.end(), chosen), end; m != end; ++m) {
            texts.push_back((*m)[1]);
        }
        for (const std::string& format : texts) {
            // A bare conversion prints a text given elsewhere; the usage
            // text is the SYNOPSIS.
            if (std::regex_match(format, std::regex(R"(%s\n?)")) || format.rfind("%s [-", 0) == 0 ||
                format.rfind("\n  -d:", 0) == 0) {
                continue;
            }
            formats++;
            // An err-style line ends in the system's error text, which the
            // page writes as ": error".
            const std::regex pattern(format_pattern(format) + "(: .+)?");
            bool named = false;
            for (const std::string& item : items) named = named || std::regex_match(item, pattern);
            EXPECT_TRUE(named) << entry.path().filename().string() << ": \"" << format
                               << "\" is not in DIAGNOSTICS of doc/quarn_dumper.8";
        }
    }
    EXPECT_GT(formats, 0u) << "no message found in the sources";
}

}  // namespace
}  // namespace quarn::test
