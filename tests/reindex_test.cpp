// quarn_inspect --reindex: the index line's filename found by parsing the
// line, the kinds of read fault that sort a daemon's leftovers from
// damage, and the run against an index an operator rewrote with jq.
#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "inspect/quarn_dumpread.h"
#include "inspect/quarn_parts.h"
#include "inspect/quarn_reindex.h"
#include "daemon_harness.h"
#include "inspect_fixture.h"
#include "quarn_dump.h"

namespace quarn::test {
namespace {

TEST(IndexLineFilename, FoundByParsingTheLine) {
    struct line_case {
        const char* name;
        std::string line;
        bool found;
        std::string filename;
    };
    const std::vector<line_case> cases = {
        {"as the daemon writes it",
         R"({"pbcid":"a", "faddr":"10.0.0.1", "filename":"a_1_10.0.0.1_2.0.pcapng", "record_count":3})"
         "\n",
         true, "a_1_10.0.0.1_2.0.pcapng"},
        {"compacted by jq -c, filename last",
         R"({"pbcid":"a","record_count":3,"filename":"b.1.pcapng.xz"})", true, "b.1.pcapng.xz"},
        // A string search for the text after the member cuts this one short.
        {"the text after the member inside the name",
         R"({"filename":"x\", \"record_count\":1.0.pcapng", "record_count":1})", true,
         R"(x", "record_count":1.0.pcapng)"},
        {"escapes decoded", R"({"filename":"caf\u00e9 \\ \/ \ud83d\ude00"})", true,
         "caf\xc3\xa9 \\ / \xf0\x9f\x98\x80"},
        {"a nested value before it", R"({"n":{"filename":"no","a":[1,-2.5e3,true,null]},"filename":"yes"})",
         true, "yes"},
        {"the first of two", R"({"filename":"one","filename":"two"})", true, "one"},
        {"not a string", R"({"filename":7})", false, ""},
        {"no such member", R"({"file":"a"})", false, ""},
        {"cut short", R"({"filename":"a.0.pcapng", "record_)", false, ""},
        {"text after the object", R"({"filename":"a"} x)", false, ""},
        {"a raw control character", "{\"filename\":\"a\tb\"}", false, ""},
        {"a lone low surrogate", R"({"filename":"\udc00"})", false, ""},
        {"no JSON", "filename: a.0.pcapng", false, ""},
        {"empty", "", false, ""},
    };
    for (const line_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string got = "unchanged";
        EXPECT_EQ(index_line_filename(c.line, got), c.found);
        if (c.found) {
            EXPECT_EQ(got, c.filename);
        }
    }
}

// The files of a directory whose names end with `suffix`.
std::vector<std::string> files_ending(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > suffix.size() && n.ends_with(suffix)) out.push_back(dir + "/" + n);
    }
    closedir(d);
    return out;
}

class ReindexFaults : public InspectDumps {
protected:
    void TearDown() override {
        dump_set_compression(dump_compression::none);
        InspectDumps::TearDown();
    }
    // One dump of 20 records written with compression `c`; its path.
    std::string make_dump(dump_compression c, const char* id) {
        dump_set_compression(c);
        build::header_fields h;
        h.id = id;
        dump(h, std::vector<build::record_fields>(20));
        const std::string suffix = std::string(".pcapng") + compression_of(c).suffix;
        for (const std::string& p : files_ending(dir_.path(), suffix)) {
            if (p.find(id) != std::string::npos) return p;
        }
        ADD_FAILURE() << "no dump of " << id;
        return "";
    }
    // The kind of fault dump_part_load finds in `bytes`, saved as `name`.
    dump_fault_kind kind_of(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir_ / name;
        write_file(path, bytes);
        dump_part p;
        std::string err;
        dump_fault_kind kind = dump_fault_kind::damaged;
        EXPECT_NE(dump_part_load(path, true, p, err, &kind), 0) << name;
        unlink(path.c_str());
        return kind;
    }
};

TEST_F(ReindexFaults, LeftoversAreToldFromDamageByKind) {
    for (dump_compression c : {dump_compression::none, dump_compression::xz, dump_compression::zstd}) {
        SCOPED_TRACE(compression_of(c).name);
        const std::string id = std::string("k") + compression_of(c).name;
        const std::string path = make_dump(c, id.c_str());
        std::vector<uint8_t> whole;
        std::string err;
        ASSERT_EQ(dump_read_raw(path.c_str(), whole, err), 0) << err;
        ASSERT_GT(whole.size(), 64u);
        const std::string suffix = std::string(".pcapng") + compression_of(c).suffix;

        {
            dump_part p;
            dump_fault_kind kind = dump_fault_kind::empty;
            ASSERT_EQ(dump_part_load(path, true, p, err, &kind), 0) << err;
        }
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
        EXPECT_EQ(kind_of("cut.0" + suffix, cut), dump_fault_kind::cut_short);
        EXPECT_EQ(kind_of("empty.0" + suffix, {}), dump_fault_kind::empty);
        // The same bytes with one in the middle changed: damage, not a cut.
        std::vector<uint8_t> damaged = whole;
        if (c == dump_compression::none) {
            damaged[0] ^= 0xFF;  // no section header first
        } else {
            for (size_t i = whole.size() / 3; i < whole.size() / 3 + 8; i++) damaged[i] ^= 0x5A;
        }
        EXPECT_EQ(kind_of("damaged.0" + suffix, damaged), dump_fault_kind::damaged);
    }
}

// An index an operator compacted with jq holds the same lines in other
// text: none of its dumps is given again as lost, and a dump whose line is
// really missing still is.
TEST_F(ReindexFaults, AnIndexRewrittenByJqStillNamesItsDumps) {
    make_dump(dump_compression::none, "first");
    make_dump(dump_compression::none, "second");
    const std::string records = dir_ / "records";
    const std::vector<std::string> lines = split_lines(read_text(records));
    ASSERT_EQ(lines.size(), 2u);
    write_file(records, lines[0] + "\n");
    shell("jq -c . " + q(records) + " > " + q(records + ".tmp") + " && mv " + q(records + ".tmp") + " " +
          q(records));
    ASSERT_NE(read_text(records), lines[0] + "\n") << "jq kept the text as it was";

    const run_result r = inspect({"--reindex", dir_.path()});
    EXPECT_EQ(r.out, lines[1] + "\n");
    // The first line is there in other text: named, so not printed again.
    EXPECT_NE(r.err.find("its index line differs from the one the file gives"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("second"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace quarn::test
