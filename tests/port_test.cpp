// The FreeBSD port in contrib/freebsd/ as the ports tree's lint reads it
// (the checks that need no ports tree): the Makefile's variables and their
// order, pkg-descr, distinfo, the packing list; and the release tarball,
// made again from the released commit, against distinfo.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "port_makefile.h"
#include "quarn_logfmt.h"
#include "testlib.h"

namespace quarn::test {
namespace {

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The blocks of a port Makefile in the order the ports tree wants them;
// the variables of one block may come in any order among themselves.
const std::vector<std::vector<std::string>> MAKEFILE_BLOCKS = {
    {"PORTNAME", "PORTVERSION", "DISTVERSIONPREFIX", "DISTVERSION", "DISTVERSIONSUFFIX", "PORTREVISION",
     "PORTEPOCH", "CATEGORIES", "MASTER_SITES", "MASTER_SITE_SUBDIR", "PKGNAMEPREFIX", "PKGNAMESUFFIX",
     "DISTNAME", "EXTRACT_SUFX", "DISTFILES"},
    {"MAINTAINER", "COMMENT", "WWW"},
    {"LICENSE", "LICENSE_FILE"},
    {"BUILD_DEPENDS", "LIB_DEPENDS", "RUN_DEPENDS", "TEST_DEPENDS"},
    {"USES", "USE_RC_SUBR", "CMAKE_ARGS", "CMAKE_ON", "CMAKE_OFF"},
    {"SUB_FILES", "SUB_LIST", "USERS", "GROUPS"},
    {"OPTIONS_DEFINE", "EXAMPLES_CMAKE_BOOL"},
};

TEST(PortMakefile, VariablesAndTheirOrder) {
    const port_makefile mk = read_port_makefile(port_dir() + "/Makefile");

    // Every assignment is known, written NAME=<tab>value, and set once, in
    // block order. The first blocks are required in full.
    int last_block = -1;
    std::set<std::string> seen;
    for (const port_assignment& a : mk.assignments) {
        SCOPED_TRACE("line " + std::to_string(a.line) + ": " + a.name);
        int block = -1;
        for (size_t b = 0; b < MAKEFILE_BLOCKS.size(); b++) {
            const auto& names = MAKEFILE_BLOCKS[b];
            if (std::find(names.begin(), names.end(), a.name) != names.end()) block = static_cast<int>(b);
        }
        EXPECT_NE(block, -1) << "a variable the order table does not know";
        EXPECT_GE(block, last_block) << "out of order";
        last_block = std::max(last_block, block);
        EXPECT_EQ(a.op, "=");
        EXPECT_TRUE(a.tab_after_op) << "a tab, not a blank, after the '='";
        EXPECT_FALSE(a.value.empty());
        EXPECT_TRUE(seen.insert(a.name).second) << "set twice";
    }
    for (const char* required : {"PORTNAME", "DISTVERSION", "CATEGORIES", "MASTER_SITES", "MAINTAINER", "COMMENT",
                                 "WWW", "LICENSE", "LICENSE_FILE", "USES", "USE_RC_SUBR", "USERS", "GROUPS"}) {
        EXPECT_TRUE(mk.find(required)) << required << " is missing";
    }
    ASSERT_FALSE(mk.directives.empty());
    EXPECT_EQ(mk.directives.back(), ".include <bsd.port.mk>");

    EXPECT_EQ(mk.value("PORTNAME"), "quarn_dumper");
    EXPECT_TRUE(std::regex_match(mk.value("DISTVERSION"), std::regex(R"(\d+\.\d+\.\d+)")));
    EXPECT_EQ(mk.value("MAINTAINER"), "ports@FreeBSD.org");
    for (const char* url : {"MASTER_SITES", "WWW"}) {
        EXPECT_TRUE(std::regex_match(mk.value(url), std::regex(R"(https://[a-z0-9.-]+/\S*)"))) << url;
    }
    EXPECT_EQ(mk.value("MASTER_SITES").back(), '/');

    // A COMMENT begins with a capital, names no article first, has no
    // final period and fits in 70 columns.
    const std::string comment = mk.value("COMMENT");
    EXPECT_LE(comment.size(), 70u);
    EXPECT_TRUE(isupper(static_cast<unsigned char>(comment[0])));
    EXPECT_NE(comment.back(), '.');
    EXPECT_NE(comment.rfind("A ", 0), 0u);
    EXPECT_NE(comment.rfind("An ", 0), 0u);

    // The licence: a name the ports tree knows, and the project's file.
    EXPECT_EQ(mk.value("LICENSE"), "BSD2CLAUSE");
    EXPECT_EQ(mk.value("LICENSE_FILE"), "${WRKSRC}/LICENSE");
    const std::string license = read_text(std::string(QUARN_SOURCE_DIR) + "/LICENSE");
    EXPECT_NE(license.find("BSD 2-Clause License"), std::string::npos);
    EXPECT_NE(license.find("Copyright (c) 2026, the quarn_dumper developers"), std::string::npos);
    EXPECT_NE(license.find("2. Redistributions in binary form"), std::string::npos);
    EXPECT_EQ(license.find("3. "), std::string::npos) << "a third clause";

    // The rc.d script comes from files/ through the framework, so the
    // build must not install one of its own.
    EXPECT_EQ(mk.value("USE_RC_SUBR"), "quarn_dumper");
    EXPECT_TRUE(file_exists(port_dir() + "/files/quarn_dumper.in"));
    const std::vector<std::string> off = words(mk.value("CMAKE_OFF"));
    for (const char* o : {"QUARN_RC_SCRIPT", "QUARN_TESTS", "QUARN_WERROR"}) {
        EXPECT_NE(std::find(off.begin(), off.end(), o), off.end()) << o;
    }
}

TEST(PortMakefile, OneUserAndGroupForEveryFile) {
    const port_makefile mk = read_port_makefile(port_dir() + "/Makefile");
    // One name each, not the shared "nobody", and handed on from USERS and
    // GROUPS alone: to the build (manual page, newsyslog entry) and to the
    // rc.d script's fields.
    ASSERT_EQ(words(mk.value("USERS")).size(), 1u);
    ASSERT_EQ(words(mk.value("GROUPS")).size(), 1u);
    EXPECT_NE(mk.value("USERS"), "nobody");
    const std::vector<std::string> args = words(mk.value("CMAKE_ARGS"));
    const std::vector<std::string> sub = words(mk.value("SUB_LIST"));
    for (const auto& [list, want] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {args, "-DQUARN_USER=${USERS}"}, {args, "-DQUARN_GROUP=${GROUPS}"},
             {sub, "QUARN_USER=${USERS}"}, {sub, "QUARN_GROUP=${GROUPS}"}}) {
        EXPECT_NE(std::find(list.begin(), list.end(), want), list.end()) << want;
    }
    // The templates take the name through their fields and name no user.
    for (const char* f : {"files/quarn_dumper.in", "newsyslog.conf.d/quarn_dumper.conf.in"}) {
        const std::string text = read_text(port_dir() + "/" + f);
        EXPECT_NE(text.find("%%QUARN_USER%%"), std::string::npos) << f;
        EXPECT_EQ(text.find("nobody"), std::string::npos) << f;
        EXPECT_EQ(text.find(mk.value("USERS") + ":"), std::string::npos) << f;
    }
}

TEST(PortFiles, LinesTheLintAccepts) {
    // distinfo is written by a script and its lines are as long as they are.
    for (const char* f : {"Makefile", "pkg-descr", "pkg-message", "pkg-plist", "files/quarn_dumper.in"}) {
        int number = 0;
        for (const std::string& line : lines_of(port_dir() + "/" + f)) {
            number++;
            SCOPED_TRACE(std::string(f) + ":" + std::to_string(number));
            EXPECT_TRUE(line.empty() || (line.back() != ' ' && line.back() != '\t')) << "blank at the end";
            size_t column = 0;
            for (const char c : line) column = c == '\t' ? (column / 8 + 1) * 8 : column + 1;
            EXPECT_LE(column, 80u) << line;
        }
    }
}

// rcorder(8)'s header of the rc.d script. A port's service that runs as a
// user of its own starts after LOGIN, once the base system's services run.
TEST(PortFiles, RcScriptOrder) {
    std::map<std::string, std::vector<std::string>> header;
    for (const std::string& line : lines_of(port_dir() + "/files/quarn_dumper.in")) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(# (PROVIDE|REQUIRE|BEFORE|KEYWORD): *(.*))"))) {
            header[m[1]] = words(m[2]);
        }
    }
    EXPECT_EQ(header["PROVIDE"], std::vector<std::string>{"quarn_dumper"});
    EXPECT_EQ(header["REQUIRE"], std::vector<std::string>{"LOGIN"});
    EXPECT_EQ(header["KEYWORD"], std::vector<std::string>{"shutdown"});
}

TEST(PortFiles, PkgDescr) {
    const std::vector<std::string> lines = lines_of(port_dir() + "/pkg-descr");
    ASSERT_GE(lines.size(), 2u);
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 80u) << line;
        // The project's address is WWW in the Makefile; pkg-descr no
        // longer carries a WWW: line.
        EXPECT_NE(line.rfind("WWW:", 0), 0u) << line;
    }
    EXPECT_FALSE(lines.back().empty()) << "ends with an empty line";
}

// pkg-message in pkg's UCL form, one message shown at install, telling
// what the kernel must offer: the version check names the sysctl and the
// version the daemon itself checks, and the log device.
TEST(PortFiles, PkgMessage) {
    const std::string text = read_text(port_dir() + "/pkg-message");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex("\\[\n\\{ type: install\n  message: <<EOM\n([^]*)\nEOM\n\\}\n\\]\n")))
        << text;
    const std::string message = m[1];
    const std::string kernel = read_text(std::string(QUARN_SOURCE_DIR) + "/src/quarn_kernel_freebsd.cpp");
    std::smatch sysctl;
    ASSERT_TRUE(std::regex_search(kernel, sysctl, std::regex(R"re(sysctlbyname\("(net\.inet\.tcp\.bb\.[a-z_]+)")re")));
    EXPECT_NE(message.find("\"sysctl " + sysctl[1].str() + "\" must answer " + std::to_string(TCP_LOG_VERSION)),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("/dev/tcp_log"), std::string::npos);
    // Every sysctl it sets is one the manual page describes.
    const std::string manual = read_text(std::string(QUARN_SOURCE_DIR) + "/doc/quarn_dumper.8");
    const std::regex setting(R"(sysctl (net\.inet\.tcp\.bb\.[a-z_]+=\d+))");
    int settings = 0;
    for (std::sregex_iterator i(message.begin(), message.end(), setting), end; i != end; ++i, settings++) {
        EXPECT_NE(manual.find("\nsysctl " + (*i)[1].str() + "\n"), std::string::npos) << (*i)[1];
    }
    EXPECT_GT(settings, 0);
}

TEST(PortFiles, DistinfoFormat) {
    const port_makefile mk = read_port_makefile(port_dir() + "/Makefile");
    const std::string distfile = mk.value("PORTNAME") + "-" + mk.value("DISTVERSION") + ".tar.gz";
    const std::vector<std::string> lines = lines_of(port_dir() + "/distinfo");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(TIMESTAMP = [1-9][0-9]{9})"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(SHA256 \()" + std::regex_replace(distfile, std::regex(R"(\.)"), R"(\.)") +
                                                      R"(\) = [0-9a-f]{64})")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(SIZE \()" + std::regex_replace(distfile, std::regex(R"(\.)"), R"(\.)") +
                                                      R"(\) = [1-9][0-9]*)")))
        << lines[2];
}

TEST(PortFiles, PackingList) {
    const std::vector<std::string> lines = lines_of(port_dir() + "/pkg-plist");
    ASSERT_FALSE(lines.empty());
    bool sample = false;
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(line.empty());
        EXPECT_NE(line[0], '/') << "paths are relative to the prefix";
        EXPECT_EQ(line.find("/usr/local"), std::string::npos);
        EXPECT_NE(line.rfind("man/", 0), 0u) << "manual pages go to share/man";
        if (line.find("/man/") != std::string::npos || line.rfind("share/man/", 0) == 0) {
            EXPECT_TRUE(std::regex_match(line, std::regex(R"(share/man/man([1-9])/[a-z_]+\.\1\.gz)")));
        }
        EXPECT_EQ(line.find("share/examples"), std::string::npos) << "written %%EXAMPLESDIR%%";
        EXPECT_EQ(line.find("%%DATADIR%%/examples"), std::string::npos) << "examples in the data directory";
        if (line.find("%%EXAMPLESDIR%%") != std::string::npos) {
            EXPECT_EQ(line.rfind("%%PORTEXAMPLES%%%%EXAMPLESDIR%%/", 0), 0u) << "behind the EXAMPLES option";
        }
        EXPECT_EQ(line.rfind("etc/rc.d/", 0), std::string::npos) << "USE_RC_SUBR lists the rc.d script";
        // A configuration file the administrator edits is a sample, which
        // an upgrade leaves alone.
        if (line.find("etc/") != std::string::npos) {
            EXPECT_EQ(line, "@sample etc/newsyslog.conf.d/quarn_dumper.conf.sample");
            sample = true;
        }
    }
    EXPECT_TRUE(sample);
}

run_result git(std::vector<std::string> args) {
    run_options o;
    o.args = {"git"};
    o.args.insert(o.args.end(), args.begin(), args.end());
    return run("/usr/bin/env", o);
}

// The release tarball is made from the parent of the last commit that
// changed distinfo (see scripts/release.sh). Only a git checkout with that
// history can make it again: a tarball's own tree, or a shallow clone that
// stops short of it, skips.
TEST(PortRelease, DistinfoMatchesTheTarballOfTheReleasedCommit) {
    const std::string src = QUARN_SOURCE_DIR;
    if (!have_program("git")) GTEST_SKIP() << "no git";
    const run_result last = git({"-C", src, "log", "-1", "--format=%H", "--", "contrib/freebsd/distinfo"});
    if (last.status != 0 || last.out.empty()) GTEST_SKIP() << "not a git checkout with history: " << last.err;
    const std::string distinfo_commit = last.out.substr(0, last.out.find('\n'));
    const run_result parent = git({"-C", src, "rev-parse", "--verify", "--quiet", distinfo_commit + "^"});
    if (parent.status != 0) GTEST_SKIP() << "the released commit is not in this clone (shallow?)";
    const std::string released = parent.out.substr(0, parent.out.find('\n'));

    temp_dir t;
    run_options rel;
    rel.args = {src + "/scripts/release.sh", "-c", released, "-o", t.path(), "-d", t / "distinfo"};
    const run_result r = run("/bin/bash", rel);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_text(t / "distinfo"), read_text(port_dir() + "/distinfo"))
        << "distinfo is not that of the tarball of " << released << "; run scripts/release.sh on it";

    // The bytes depend on the commit alone: a second run gives the same
    // tarball.
    const std::string tarball = r.out.substr(0, r.out.find('\n'));
    const std::vector<uint8_t> first = read_file(tarball);
    rel.args = {src + "/scripts/release.sh", "-c", released, "-o", t / "again", "-d", t / "distinfo2"};
    const run_result again = run("/bin/bash", rel);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(read_file(again.out.substr(0, again.out.find('\n'))) == first);

    // Every file lies under DISTNAME/, where the port builds, and the
    // licence the Makefile names is there.
    const port_makefile mk = read_port_makefile(port_dir() + "/Makefile");
    const std::string distname = mk.value("PORTNAME") + "-" + mk.value("DISTVERSION");
    EXPECT_EQ(tarball, t / (distname + ".tar.gz"));
    run_options tar;
    tar.args = {"-tzf", tarball};
    const run_result listing = run("/bin/tar", tar);
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::istringstream names(listing.out);
    std::set<std::string> files;
    for (std::string name; std::getline(names, name);) {
        EXPECT_EQ(name.rfind(distname + "/", 0), 0u) << name;
        files.insert(name);
    }
    for (const char* f : {"LICENSE", "CMakeLists.txt", "contrib/freebsd/files/quarn_dumper.in"}) {
        EXPECT_TRUE(files.count(distname + "/" + f)) << f;
    }
}

}  // namespace
}  // namespace quarn::test
