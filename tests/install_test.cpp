// `cmake --install` into a staging folder (DESTDIR), as a packager runs it:
// the tree under the prefix, the modes, the port's packing list, and that
// the installed files work.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/time.h>

#include <cstdlib>
#include <sstream>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testlib.h"

namespace quarn::test {
namespace {

constexpr const char* PREFIX = "/usr/local";

bool source_has(const std::string& rel) {
    return file_exists(std::string(QUARN_SOURCE_DIR) + "/" + rel);
}

// Every file and link under `root`, by path relative to it, with its mode.
std::map<std::string, mode_t> tree(const std::string& root) {
    std::map<std::string, mode_t> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st;
        if (lstat(e.path().c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        files[std::filesystem::relative(e.path(), root).string()] = st.st_mode;
    }
    return files;
}

class StagingInstall : public testing::Test {
protected:
    static void SetUpTestSuite() {
        staging_ = new temp_dir;
        run_options o;
        o.args = {"--install", QUARN_BUILD_DIR, "--prefix", PREFIX};
        o.env["DESTDIR"] = staging_->path();
        install_ = new run_result(run(QUARN_CMAKE_COMMAND, o));
    }
    static void TearDownTestSuite() {
        delete install_;
        delete staging_;
    }
    static std::string prefix() { return staging_->path() + PREFIX; }

    static temp_dir* staging_;
    static run_result* install_;
};

temp_dir* StagingInstall::staging_ = nullptr;
run_result* StagingInstall::install_ = nullptr;

TEST_F(StagingInstall, TreeAndModes) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;

    // Optional parts are installed when their sources are there.
    std::map<std::string, mode_t> expected = {
        {"sbin/quarn_dumper", S_IFREG | 0755},
        {"man/man8/quarn_dumper.8", S_IFREG | 0644},
        {"etc/rc.d/quarn_dumper", S_IFREG | 0555},
        {"etc/newsyslog.conf.d/quarn_dumper.conf", S_IFREG | 0644},
        {"share/quarn_dumper/examples/rc.conf", S_IFREG | 0644},
        {"share/quarn_dumper/examples/crontab", S_IFREG | 0644},
    };
    if (source_has("tools/quarn_inspect.cpp")) expected["bin/quarn_inspect"] = S_IFREG | 0755;
    if (source_has("doc/quarn_inspect.1")) expected["man/man1/quarn_inspect.1"] = S_IFREG | 0644;
    if (source_has("contrib/wireshark/quarn.lua")) {
        expected["share/quarn_dumper/quarn.lua"] = S_IFREG | 0644;
    }

    // Nothing lands outside the prefix, and nothing else inside it (the
    // test tools stay in the build tree).
    const std::map<std::string, mode_t> all = tree(staging_->path());
    for (const auto& [path, mode] : all) {
        EXPECT_EQ(path.rfind("usr/local/", 0), 0u) << path << " is outside the prefix";
    }
    const std::map<std::string, mode_t> installed = tree(prefix());
    for (const auto& [path, mode] : expected) {
        SCOPED_TRACE(path);
        const auto it = installed.find(path);
        ASSERT_NE(it, installed.end()) << "not installed";
        EXPECT_EQ(it->second & (S_IFMT | 07777), mode) << std::oct << it->second;
    }
    for (const auto& [path, mode] : installed) {
        EXPECT_TRUE(expected.count(path)) << path << " is installed but not expected";
    }
}

TEST_F(StagingInstall, PortPackingListNamesTheInstalledFiles) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    // The ports framework compresses manual pages and names the data
    // directory %%DATADIR%%; parts whose sources are absent here are not
    // looked for.
    const std::map<std::string, std::string> optional_source = {
        {"bin/quarn_inspect", "tools/quarn_inspect.cpp"},
        {"man/man1/quarn_inspect.1", "doc/quarn_inspect.1"},
        {"share/quarn_dumper/quarn.lua", "contrib/wireshark/quarn.lua"},
    };
    std::set<std::string> listed;
    std::ifstream plist(std::string(QUARN_SOURCE_DIR) + "/contrib/freebsd/pkg-plist");
    ASSERT_TRUE(plist.good());
    for (std::string line; std::getline(plist, line);) {
        if (line.empty() || line[0] == '@') continue;
        if (line.rfind("%%DATADIR%%/", 0) == 0) line = "share/quarn_dumper/" + line.substr(12);
        if (line.rfind("man/", 0) == 0 && line.size() > 3 && line.compare(line.size() - 3, 3, ".gz") == 0) {
            line.resize(line.size() - 3);
        }
        const auto opt = optional_source.find(line);
        if (opt != optional_source.end() && !source_has(opt->second)) continue;
        listed.insert(line);
    }
    std::set<std::string> installed;
    for (const auto& [path, mode] : tree(prefix())) installed.insert(path);
    EXPECT_EQ(listed, installed);
}

TEST_F(StagingInstall, InstalledFilesWork) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;

    // The daemon runs from its installed place.
    run_options o;
    o.argv0 = "quarn_dumper";
    o.args = {"-h"};
    o.unset_env = {"QUARN_SYSCTL_DIR"};
    const run_result h = run(prefix() + "/sbin/quarn_dumper", o);
    EXPECT_EQ(h.status, 1);
    EXPECT_EQ(h.err.substr(0, h.err.find('\n')), "quarn_dumper [-dhJZ] [-D dir] [-f file] [-u user] [-r reason]");

    // The rc.d script names the daemon under the prefix, with nothing left
    // to substitute, and is valid sh.
    const std::string rc = read_text(prefix() + "/etc/rc.d/quarn_dumper");
    EXPECT_NE(rc.find("procname=\"/usr/local/sbin/${name}\""), std::string::npos) << rc;
    EXPECT_EQ(rc.find('@'), std::string::npos);
    run_options sh;
    sh.args = {"-n", prefix() + "/etc/rc.d/quarn_dumper"};
    const run_result syntax = run("/bin/sh", sh);
    EXPECT_EQ(syntax.status, 0) << syntax.err;

    // newsyslog signals the daemon through the PID file the rc.d script
    // gives it.
    const std::string pidfile_line = "pidfile=\"/var/run/${name}.pid\"";
    EXPECT_NE(rc.find(pidfile_line), std::string::npos);
    const std::string rotation = read_text(prefix() + "/etc/newsyslog.conf.d/quarn_dumper.conf");
    EXPECT_NE(rotation.find("/var/log/quarn_dumps/records"), std::string::npos);
    EXPECT_NE(rotation.find("/var/run/quarn_dumper.pid"), std::string::npos);
}

// FreeBSD's rc.subr from the toolchain folder beside the checkout, when
// there is one.
std::string find_rc_subr() {
    std::vector<std::string> dirs;
    if (const char* d = getenv("QUARN_FREEBSD_DIR")) dirs.push_back(d);
    dirs.push_back(std::string(QUARN_SOURCE_DIR) + "/../shared/freebsd");
    dirs.push_back("/work/shared/freebsd");
    for (const std::string& d : dirs) {
        const std::string f = d + "/examples/etc/rc.subr";
        if (file_exists(f)) return f;
    }
    return "";
}

void replace_once(std::string& text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

TEST_F(StagingInstall, RcScriptUnderRcSubr) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to the daemon's user";
    const std::string rc_subr = find_rc_subr();
    if (rc_subr.empty()) GTEST_SKIP() << "no FreeBSD rc.subr beside the checkout";
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    const uid_t nobody_uid = pw->pw_uid;

    // FreeBSD's rc.subr runs the installed script's start. Only what this
    // machine lacks stands in: kenv and limits, and daemon(8), which records
    // the command line it gets and the user it runs as.
    temp_dir t;
    ASSERT_EQ(mkdir((t / "bin").c_str(), 0755), 0);
    write_file(t / "bin/kenv", std::string("#!/bin/sh\nexit 1\n"));
    write_file(t / "bin/limits", std::string("#!/bin/sh\n[ \"$1\" = -C ] && shift 2\nexec \"$@\"\n"));
    write_file(t / "daemon", "#!/bin/sh\n{ echo \"$*\"; id -un; } > " + (t / "argv") + "\n");
    for (const char* f : {"bin/kenv", "bin/limits", "daemon"}) ASSERT_EQ(chmod((t / f).c_str(), 0755), 0);
    std::string script = read_text(prefix() + "/etc/rc.d/quarn_dumper");
    replace_once(script, ". /etc/rc.subr", ". " + rc_subr);
    replace_once(script, "command=\"/usr/sbin/daemon\"", "command=\"" + (t / "daemon") + "\"");
    write_file(t / "quarn_dumper", script);

    const std::string dir = t / "dumps";
    run_options o;
    o.args = {t / "quarn_dumper", "start"};
    o.env = {{"PATH", (t / "bin") + ":" + getenv("PATH")},
             {"quarn_dumper_enable", "YES"},
             {"quarn_dumper_user", "nobody"},
             {"quarn_dumper_dir", dir},
             {"quarn_dumper_flags", "-J -r error"}};
    const run_result r = run("/bin/sh", o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    // daemon(8) gets its syslog options first, then the daemon with its PID
    // file, user, directory and flags; it runs as root, since the daemon
    // must open the log device before it takes the user's ids.
    EXPECT_EQ(read_text(t / "argv"),
              "-S -T quarn_dumper /usr/local/sbin/quarn_dumper -p /var/run/quarn_dumper.pid -u nobody -D " +
                  dir + " -J -r error\nroot\n");
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_uid, nobody_uid);
}

TEST_F(StagingInstall, ExampleCrontabExpiresOldDumpsOnly) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    // The command of the one crontab line, run on a private directory.
    std::string command;
    std::istringstream lines(read_text(prefix() + "/share/quarn_dumper/examples/crontab"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 6; i++) fields >> field;  // minute .. who
        ASSERT_EQ(field, "root") << line;
        std::getline(fields >> std::ws, command);
    }
    ASSERT_FALSE(command.empty());
    temp_dir t;
    replace_once(command, "/var/log/quarn_dumps", t.path());

    const long day = 24 * 60 * 60;
    const struct {
        const char* name;
        long age_days;
        bool kept;
    } files[] = {
        {"c_443_10.0.0.2_50000.0.pcapng", 20, false},
        {"c_443_10.0.0.2_50000.1.pcapng.xz", 20, false},
        {"c_443_10.0.0.2_50000.2.pcapng.zst", 20, false},
        {"c_443_10.0.0.2_50000.3.pcapng", 2, true},
        {"records", 20, true},
        {"records.0.xz", 20, true},
    };
    const time_t now = time(nullptr);
    for (const auto& f : files) {
        write_file(t / f.name, std::string("x"));
        const timeval times[2] = {{now - f.age_days * day, 0}, {now - f.age_days * day, 0}};
        ASSERT_EQ(utimes((t / f.name).c_str(), times), 0);
    }
    run_options o;
    o.args = {"-c", command};
    const run_result r = run("/bin/sh", o);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& f : files) EXPECT_EQ(file_exists(t / f.name), f.kept) << f.name;
}

}  // namespace
}  // namespace quarn::test
