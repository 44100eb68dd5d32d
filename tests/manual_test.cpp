// The manual pages against the programs: DIAGNOSTICS of quarn_dumper(8)
// and quarn_synth(1) names every message their code can print, so a new
// report cannot go in without a word for the operator on what to do about
// it; and the SYNOPSIS of each page names the options its binary takes,
// no more and no fewer.
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testlib.h"

namespace quarn::test {
namespace {

// The calls that put a line on standard error, directly or by handing the
// text to the code that does.
const char* const REPORTING_CALLS[] = {"log_stderr", "warn_errno",    "write_stderr",       "do_err",
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

TEST(ManualPage, DiagnosticsNameEveryMessageOfTheSynthesizer) {
    const std::vector<std::string> items =
        manual_messages(read_text(std::string(QUARN_SOURCE_DIR) + "/doc/quarn_synth.1"));
    ASSERT_FALSE(items.empty()) << "no DIAGNOSTICS list";
    const std::string code = read_text(std::string(QUARN_SOURCE_DIR) + "/tools/quarn_synth.cpp");

    // Every line on standard error that begins with the program's name is a
    // diagnostic (the usage text and the -C counts are not). fail() prints
    // "quarn_synth: WHAT: error", WHAT being its literal and a file name.
    std::set<std::string> formats;
    for (const std::string& t : call_texts(code, "fprintf")) {
        if (t.rfind("%s: ", 0) == 0) formats.insert(t);
    }
    for (const std::string& t : call_texts(code, "fail")) formats.insert("%s: " + t + "%s: %s");
    ASSERT_GE(formats.size(), 2u) << "no message found in tools/quarn_synth.cpp";
    for (const std::string& format : formats) {
        const std::regex pattern(format_pattern(format));
        bool named = false;
        for (const std::string& item : items) named = named || std::regex_match(item, pattern);
        EXPECT_TRUE(named) << "\"" << format << "\" is not in DIAGNOSTICS of doc/quarn_synth.1";
    }
}

// The options in a usage text or a page's SYNOPSIS: "--name" as it is, and
// "-abc" as its letters "-a", "-b", "-c" (none of the programs has a long
// option with one dash).
void add_options(const std::string& word_dashes, const std::string& name, std::set<std::string>& out) {
    if (word_dashes == "--") {
        out.insert("--" + name);
        return;
    }
    for (char c : name) out.insert(std::string("-") + c);
}

std::set<std::string> usage_options(const std::string& usage) {
    std::set<std::string> options;
    static const std::regex word(R"((^|[\s\[(])(--?)([A-Za-z0-9][-A-Za-z0-9]*))");
    for (std::sregex_iterator m(usage.begin(), usage.end(), word), end; m != end; ++m) {
        add_options((*m)[2], (*m)[3], options);
    }
    return options;
}

// Fl arguments of SYNOPSIS; "Fl \-name" stands for "--name".
std::set<std::string> synopsis_options(const std::string& page) {
    std::set<std::string> options;
    const size_t from = page.find("\n.Sh SYNOPSIS\n");
    if (from == std::string::npos) return options;
    const std::string synopsis = page.substr(from, page.find("\n.Sh ", from + 1) - from);
    static const std::regex flag(R"(\bFl\s+(\\-)?([A-Za-z0-9][-A-Za-z0-9]*))");
    for (std::sregex_iterator m(synopsis.begin(), synopsis.end(), flag), end; m != end; ++m) {
        add_options((*m)[1].matched ? "--" : "-", (*m)[2], options);
    }
    return options;
}

struct tool_page {
    const char* page;  // under doc/
    std::string program;
};

// Whether the program knows the option: given it with a value and an
// operand, each program stops at its command line (an operand or a missing
// mode is a usage error) and complains by name about an option it lacks.
bool accepts(const std::string& program, const std::string& option, const temp_dir& cwd) {
    run_options o;
    o.args = {option, "value", "operand"};
    o.cwd = cwd.path();
    o.unset_env = {"QUARN_SYSCTL_DIR"};
    const run_result r = run(program, o);
    return r.err.find("Unknown option") == std::string::npos && r.err.find("invalid option") == std::string::npos &&
           r.err.find("unrecognized option") == std::string::npos;
}

TEST(ManualPage, SynopsisNamesTheOptionsOfEachProgram) {
    const std::string dir = std::string(daemon_path()).substr(0, std::string(daemon_path()).rfind('/') + 1);
    const tool_page pages[] = {
        {"quarn_dumper.8", daemon_path()},
        {"quarn_inspect.1", dir + "quarn_inspect"},
        {"quarn_synth.1", synth_path()},
    };
    temp_dir cwd;
    for (const tool_page& t : pages) {
        SCOPED_TRACE(t.page);
        ASSERT_TRUE(file_exists(t.program)) << t.program;
        // The probe tells a known option from an unknown one.
        ASSERT_FALSE(accepts(t.program, "--no-such-option", cwd));

        const std::set<std::string> in_page =
            synopsis_options(read_text(std::string(QUARN_SOURCE_DIR) + "/doc/" + t.page));
        ASSERT_FALSE(in_page.empty()) << "no options in SYNOPSIS";
        for (const std::string& option : in_page) {
            EXPECT_TRUE(accepts(t.program, option, cwd)) << option << " is in SYNOPSIS, but the program rejects it";
        }

        // -h prints the usage text, to standard output or error.
        run_options o;
        o.args = {"-h"};
        o.cwd = cwd.path();
        const run_result help = run(t.program, o);
        const std::set<std::string> in_usage = usage_options(help.out + help.err);
        ASSERT_FALSE(in_usage.empty()) << help.out << help.err;
        for (const std::string& option : in_usage) {
            EXPECT_TRUE(in_page.count(option)) << option << " is in the usage text, not in SYNOPSIS";
        }
    }
}

}  // namespace
}  // namespace quarn::test
