#include "dump_check.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "quarn_pcapng.h"
#include "quarn_records.h"
#include "quarn_stacknames.h"
#include "testlib.h"

namespace quarn::test {

void name_test_stacks() {
    unsetenv("QUARN_SYSCTL_DIR");
    stack_names_lock.lock();
    stack_names[STACK_A] = stack_name_entry{"alpha", 5};
    stack_names[STACK_B] = stack_name_entry{"bravo", 5};
    stack_names_lock.unlock();
}

void prepare_dump_globals() {
    static std::once_flag once;
    std::call_once(once, [] { name_test_stacks(); });
}

namespace {

// Quotes a path for /bin/sh.
std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// Runs a shell command, returning its exit status and standard output.
int run_shell(const std::string& cmd, std::string* out) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// argv: the input file, "strict" or "bytes" for its UTF-8 handling, then
// the keys every object must have in order (none: any keys). Prints one line
// per object, one "keyhex:type:valuehex" word per member.
constexpr const char* JSON_LINES_SCRIPT = R"PY(import json, sys
data = open(sys.argv[1], "rb").read()
errors = "strict" if sys.argv[2] == "strict" else "surrogateescape"
keys = sys.argv[3:]
if data and not data.endswith(b"\n"):
    sys.exit("text does not end in a newline")

class Pairs(list):
    pass

def refuse(name):
    sys.exit("not JSON: " + name)

def number(text):
    return ("n", text)

def encode(v):
    if isinstance(v, Pairs):
        return "{" + ", ".join(json.dumps(k) + ":" + encode(x) for k, x in v) + "}"
    if isinstance(v, list):
        return "[" + ", ".join(encode(x) for x in v) + "]"
    if isinstance(v, tuple):
        return v[1]
    return json.dumps(v)

for raw in data.split(b"\n")[:-1]:
    obj = json.loads(raw.decode("utf-8", errors), object_pairs_hook=Pairs,
                     parse_int=number, parse_float=number, parse_constant=refuse)
    if not isinstance(obj, Pairs):
        sys.exit("not an object: %r" % raw)
    if keys and [k for k, _ in obj] != keys:
        sys.exit("keys %r" % [k for k, _ in obj])
    out = []
    for k, v in obj:
        if isinstance(v, bool):
            t, s = "b", json.dumps(v)
        elif isinstance(v, tuple):
            t, s = "n", v[1]
        elif isinstance(v, str):
            t, s = "s", v
        else:
            t, s = "o", encode(v)
        out.append(k.encode("utf-8", errors).hex() + ":" + t + ":" + s.encode("utf-8", errors).hex())
    print(" ".join(out))
)PY";

std::string unhex_text(const std::string& h) {
    const std::vector<uint8_t> b = unhex(h);
    return std::string(b.begin(), b.end());
}

}  // namespace

std::vector<pcap_block> walk_blocks(const std::vector<uint8_t>& file, std::string* error) {
    std::vector<pcap_block> blocks;
    error->clear();
    size_t off = 0;
    while (off < file.size()) {
        if (file.size() - off < 12) {
            *error = "truncated block at " + std::to_string(off);
            break;
        }
        pcap_block b;
        b.offset = off;
        b.type = u32_at(file, off);
        b.length = u32_at(file, off + 4);
        if (b.length < 12 || b.length % 4 != 0 || b.length > file.size() - off) {
            *error = "bad length " + std::to_string(b.length) + " at " + std::to_string(off);
            break;
        }
        if (u32_at(file, off + b.length - 4) != b.length) {
            *error = "trailer does not repeat the length at " + std::to_string(off);
            break;
        }
        if (b.type == BT_CUSTOM && b.length >= 16) b.subtype = u32_at(file, off + 12);
        blocks.push_back(b);
        off += b.length;
    }
    return blocks;
}

std::string block_summary(const std::vector<uint8_t>& file) {
    std::string error;
    const std::vector<pcap_block> blocks = walk_blocks(file, &error);
    if (!error.empty()) return "!" + error;
    if (blocks.size() < 2 || blocks[0].type != BT_SHB || blocks[1].type != BT_IDB) {
        return "!no section header and interface description";
    }
    std::string s;
    for (size_t i = 2; i < blocks.size(); i++) {
        const pcap_block& b = blocks[i];
        if (!s.empty()) s += ' ';
        if (b.type == BT_EPB) {
            s += 'P';
        } else if (b.type == BT_CUSTOM && b.subtype == CB_SUB_EVENT) {
            s += 'E';
        } else if (b.type == BT_CUSTOM && b.subtype == CB_SUB_GAP && b.length == 28) {
            // Appended in two steps: GCC 12 at -O3 warns falsely (restrict)
            // on a literal plus a temporary string.
            s += 'G';
            s += std::to_string(u32_at(file, b.offset + 16));
        } else {
            s += '?';
            s += std::to_string(b.type);
        }
    }
    return s;
}

uint32_t record_blocks(const std::vector<uint8_t>& file) {
    std::string error;
    uint32_t n = 0;
    for (const pcap_block& b : walk_blocks(file, &error)) {
        if (b.type == BT_EPB || (b.type == BT_CUSTOM && b.subtype == CB_SUB_EVENT)) n++;
    }
    return n;
}

void PrintTo(const json_value& v, std::ostream* os) { *os << v.type << ":" << v.text; }

bool parse_json_lines(const std::string& text, std::vector<json_object>* out, std::string* error,
                      const json_lines_options& opts) {
    temp_dir tmp;
    write_file(tmp / "lines.py", std::string(JSON_LINES_SCRIPT));
    write_file(tmp / "input", text);
    std::string cmd = "python3 " + shell_quote(tmp / "lines.py") + " " + shell_quote(tmp / "input") +
                      (opts.strict_utf8 ? " strict" : " bytes");
    for (const std::string& k : opts.keys) {
        // Appended in two steps: a literal plus a temporary string trips a
        // false -Wrestrict of GCC 12 at -O3.
        cmd += ' ';
        cmd += shell_quote(k);
    }
    std::string result;
    const int status = run_shell(cmd + " 2>" + shell_quote(tmp / "err"), &result);
    if (status != 0) {
        *error = "python3 exited with " + std::to_string(status) + ": " + read_text(tmp / "err");
        return false;
    }
    out->clear();
    std::istringstream lines(result);
    std::string line;
    while (std::getline(lines, line)) {
        json_object obj;
        std::istringstream members(line);
        std::string m;
        while (members >> m) {
            const size_t a = m.find(':');
            const size_t b = m.find(':', a + 1);
            if (a == std::string::npos || b != a + 2) {
                *error = "unexpected helper output: " + line;
                return false;
            }
            obj[unhex_text(m.substr(0, a))] = json_value{m[a + 1], unhex_text(m.substr(b + 1))};
        }
        out->push_back(std::move(obj));
    }
    return true;
}

int tshark_frames(const std::string& path, std::string* output) {
    temp_dir tmp;
    std::string out;
    const int status = run_shell("tshark -r " + shell_quote(path) + " -T fields -e frame.number 2>" +
                                     shell_quote(tmp / "err"),
                                 &out);
    // tshark warns about running as root; that is no complaint about the file.
    std::string err;
    std::istringstream err_lines(read_text(tmp / "err"));
    for (std::string l; std::getline(err_lines, l);) {
        if (l.rfind("Running as user", 0) != 0) err += l + "\n";
    }
    *output = out + err;
    if (status != 0 || !err.empty()) return -1;
    int frames = 0;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        if (l != std::to_string(frames + 1)) return -1;
        frames++;
    }
    return frames;
}

}  // namespace quarn::test
