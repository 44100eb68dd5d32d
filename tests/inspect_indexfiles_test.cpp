// Rotated index files: which names are indexes, and their contents read
// back through each decompressor from what the real tools wrote, whole,
// concatenated, cut and damaged.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "inspect/quarn_indexfiles.h"
#include "inspect_fixture.h"

namespace quarn {
namespace {

using test::q;
using test::shell;

TEST(IndexFiles, NamesOfTheIndexAndItsRotations) {
    using ic = index_compression;
    const struct {
        const char* name;
        bool is_index;
        ic kind;
    } cases[] = {
        {"records", true, ic::none},        {"records.0", true, ic::none},
        {"records.12", true, ic::none},     {"records.0.gz", true, ic::gzip},
        {"records.3.bz2", true, ic::bzip2}, {"records.1.xz", true, ic::xz},
        {"records.7.zst", true, ic::zstd},  {"records.gz", true, ic::gzip},
        {"records.", false, ic::none},      {"records.old", false, ic::none},
        {"records.1.lz4", false, ic::none}, {"records.1a", false, ic::none},
        {"records0", false, ic::none},      {"myrecords.0", false, ic::none},
        {"records.0.gz.bz2", false, ic::none}, {"x.0.pcapng", false, ic::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ic kind;
        EXPECT_EQ(index_file_name(c.name, kind), c.is_index);
        if (c.is_index) {
            EXPECT_EQ(kind, c.kind);
        }
    }
}

TEST(IndexFiles, EachCompressionReadBackWholeOrNamedWhenCut) {
    for (const char* tool : {"gzip", "bzip2", "xz", "zstd"}) ASSERT_TRUE(test::have_program(tool)) << tool;
    test::temp_dir t;
    std::string text;
    for (int i = 0; i < 3000; i++) text += "{\"line\":" + std::to_string(i * 7919 % 10007) + "}\n";
    test::write_file(t / "plain", text);
    const struct {
        index_compression kind;
        std::string make;  // shell command writing t/c from t/plain
        const char* cut_message;
    } cases[] = {
        {index_compression::gzip, "gzip -c plain > c", "gzip data ends before its stream does"},
        // Two members one after the other read as one text.
        {index_compression::gzip, "head -c 20000 plain | gzip -c > c && tail -c +20001 plain | gzip -c >> c",
         "gzip data ends before its stream does"},
        {index_compression::bzip2, "bzip2 -c plain > c", "bzip2 data ends before its stream does"},
        {index_compression::bzip2, "head -c 20000 plain | bzip2 -c > c && tail -c +20001 plain | bzip2 -c >> c",
         "bzip2 data ends before its stream does"},
        {index_compression::xz, "xz -0 -c plain > c", "XZ data ends before its stream does"},
        {index_compression::zstd, "zstd -q -c plain > c", "zstd data ends before its frame does"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.make);
        shell("cd " + q(t.path()) + " && " + c.make);
        std::vector<uint8_t> data = test::read_file(t / "c");
        std::vector<uint8_t> out;
        std::string err;
        ASSERT_EQ(index_decompress(c.kind, data.data(), data.size(), out, err), 0) << err;
        EXPECT_TRUE(std::string(out.begin(), out.end()) == text);
        data.resize(data.size() * 2 / 3);
        EXPECT_EQ(index_decompress(c.kind, data.data(), data.size(), out, err), -1);
        EXPECT_EQ(err, c.cut_message);
        // Damaged in the middle: refused, never read past the buffer.
        data = test::read_file(t / "c");
        for (size_t i = data.size() / 3; i < data.size() / 3 + 16; i++) data[i] ^= 0x5A;
        EXPECT_EQ(index_decompress(c.kind, data.data(), data.size(), out, err), -1);
        EXPECT_NE(err, "");
    }
}

TEST(IndexFiles, ReadsEveryIndexOfADirectoryIntoLines) {
    test::temp_dir t;
    test::write_file(t / "records", std::string("a\nb\n"));
    test::write_file(t / "records.0", std::string("c\nno newline at the end"));
    test::write_file(t / "records.1.gz", std::string("not gzip at all"));
    test::write_file(t / "records.txt", std::string("ignored\n"));
    std::vector<index_file> files;
    std::vector<std::string> problems;
    std::string err;
    ASSERT_EQ(index_files_read(t.path(), files, problems, err), 0) << err;
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].name, "records");
    EXPECT_EQ(files[0].lines, (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(files[1].name, "records.0");
    EXPECT_EQ(files[1].lines, (std::vector<std::string>{"c\n", "no newline at the end"}));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("records.1.gz: gzip data is damaged", 0), 0u) << problems[0];
    EXPECT_EQ(index_files_read(t / "none", files, problems, err), -1);
}

}  // namespace
}  // namespace quarn
