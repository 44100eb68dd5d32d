// The port's Makefile (contrib/freebsd/Makefile) read as the ports
// framework sees its plain assignments: name, operator, value, the line it
// starts on, and whether a tab follows the operator. Continuation lines are
// joined; comments, conditionals and .include lines are kept apart.
#ifndef QUARN_PORT_MAKEFILE_H
#define QUARN_PORT_MAKEFILE_H

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testlib.h"

namespace quarn::test {

struct port_assignment {
    std::string name;
    std::string op;     // "=", "+=", "?=", ":=" or "!="
    std::string value;  // blanks folded to one
    int line = 0;
    bool tab_after_op = false;
};

struct port_makefile {
    std::vector<port_assignment> assignments;  // in file order
    std::vector<std::string> directives;       // lines starting with '.'

    const port_assignment* find(const std::string& name) const {
        for (const port_assignment& a : assignments) {
            if (a.name == name) return &a;
        }
        return nullptr;
    }
    std::string value(const std::string& name) const {
        const port_assignment* a = find(name);
        return a ? a->value : "";
    }
    // The value with ${NAME} references to the file's own variables
    // replaced (those it does not set are left as they are).
    std::string expand(std::string text) const {
        static const std::regex ref(R"(\$\{([A-Z_0-9]+)\})");
        std::string out;
        std::smatch m;
        while (std::regex_search(text, m, ref)) {
            out += m.prefix().str();
            const port_assignment* a = find(m[1].str());
            out += a ? a->value : m[0].str();
            text = m.suffix().str();
        }
        return out + text;
    }
};

inline std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

inline port_makefile read_port_makefile(const std::string& path) {
    static const std::regex assignment(R"(^([A-Za-z_][A-Za-z_0-9]*)([+?:!]?=)([ \t]*)(.*)$)");
    port_makefile mk;
    std::istringstream in(read_text(path));
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        const int first = number;
        while (!line.empty() && line.back() == '\\') {
            std::string next;
            if (!std::getline(in, next)) break;
            number++;
            line.back() = ' ';
            line += next;
        }
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '.') {
            mk.directives.push_back(line);
            continue;
        }
        std::smatch m;
        if (!std::regex_match(line, m, assignment)) continue;
        port_assignment a;
        a.name = m[1].str();
        a.op = m[2].str();
        a.tab_after_op = m[3].str().find('\t') != std::string::npos;
        std::string folded;
        for (const std::string& w : words(m[4].str())) folded += (folded.empty() ? "" : " ") + w;
        a.value = folded;
        a.line = first;
        mk.assignments.push_back(a);
    }
    return mk;
}

inline std::string port_dir() { return std::string(QUARN_SOURCE_DIR) + "/contrib/freebsd"; }

}  // namespace quarn::test

#endif
