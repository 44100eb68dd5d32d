// `cmake --install` into a staging folder (DESTDIR), as a packager runs it:
// the tree under the prefix and its modes, the fields filled at install
// time, the port's build against its packing list, and that the installed
// files work: the daemon with the synthesizer and the inspector, the rc.d
// script under FreeBSD's rc.subr, the example crontab line, and the index
// rotation that outlasts it.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "port_makefile.h"
#include "testlib.h"

namespace quarn::test {
namespace {

constexpr const char* PREFIX = "/usr/local";

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

    const std::map<std::string, mode_t> expected = {
        {"sbin/quarn_dumper", S_IFREG | 0755},
        {"bin/quarn_inspect", S_IFREG | 0755},
        {"bin/quarn_synth", S_IFREG | 0755},
        {"share/man/man8/quarn_dumper.8", S_IFREG | 0644},
        {"share/man/man1/quarn_inspect.1", S_IFREG | 0644},
        {"share/man/man1/quarn_synth.1", S_IFREG | 0644},
        {"etc/rc.d/quarn_dumper", S_IFREG | 0555},
        {"etc/newsyslog.conf.d/quarn_dumper.conf", S_IFREG | 0644},
        {"share/examples/quarn_dumper/rc.conf", S_IFREG | 0644},
        {"share/examples/quarn_dumper/crontab", S_IFREG | 0644},
        {"share/quarn_dumper/quarn.lua", S_IFREG | 0644},
    };

    // Nothing lands outside the prefix, and nothing else inside it (the
    // test programs and benchmarks stay in the build tree).
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

// The user in the three files that name it: the rc.d script's default,
// the owner of the rotated index, and the manual page's text.
struct named_users {
    std::string rc_default, newsyslog_owner, manual;
};

named_users users_named(const std::string& prefix_dir) {
    named_users u;
    std::smatch m;
    const std::string rc = read_text(prefix_dir + "/etc/rc.d/quarn_dumper");
    if (std::regex_search(rc, m, std::regex(R"(: "\$\{quarn_dumper_user:=([^}]*)\}")"))) u.rc_default = m[1];
    const std::string rotation = read_text(prefix_dir + "/etc/newsyslog.conf.d/" +
                                           (file_exists(prefix_dir + "/etc/newsyslog.conf.d/quarn_dumper.conf")
                                                ? "quarn_dumper.conf"
                                                : "quarn_dumper.conf.sample"));
    if (std::regex_search(rotation, m, std::regex(R"(\n/var/log/quarn_dumps/records\t+([^:\s]+):)"))) {
        u.newsyslog_owner = m[1];
    }
    const std::string manual = read_text(prefix_dir + "/share/man/man8/quarn_dumper.8");
    if (std::regex_search(manual, m, std::regex(R"(runs the daemon as the user\n\.Dq (\S+)\n)"))) u.manual = m[1];
    return u;
}

TEST_F(StagingInstall, FieldsFilledAtInstallTime) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    // The prefix is the one the installation is given, not the configure's.
    temp_dir other;
    run_options o;
    o.args = {"--install", QUARN_BUILD_DIR, "--prefix", "/opt/quarn"};
    o.env["DESTDIR"] = other.path();
    const run_result r = run(QUARN_CMAKE_COMMAND, o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string opt = other / "opt/quarn";
    const std::string rc = read_text(opt + "/etc/rc.d/quarn_dumper");
    EXPECT_NE(rc.find("procname=\"/opt/quarn/sbin/${name}\""), std::string::npos) << rc;
    const std::string manual = read_text(opt + "/share/man/man8/quarn_dumper.8");
    EXPECT_NE(manual.find(".It Pa /opt/quarn/etc/rc.d/quarn_dumper\n"), std::string::npos);

    // Every field is filled, and the three files name one user.
    for (const char* f : {"etc/rc.d/quarn_dumper", "etc/newsyslog.conf.d/quarn_dumper.conf",
                          "share/man/man8/quarn_dumper.8"}) {
        EXPECT_EQ(read_text(opt + "/" + f).find("%%"), std::string::npos) << f;
    }
    const named_users u = users_named(opt);
    EXPECT_FALSE(u.rc_default.empty());
    EXPECT_NE(u.rc_default, "nobody");
    EXPECT_EQ(u.newsyslog_owner, u.rc_default);
    EXPECT_EQ(u.manual, u.rc_default);
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

    // The rc.d script names the daemon under the prefix and is valid sh.
    const std::string rc = read_text(prefix() + "/etc/rc.d/quarn_dumper");
    EXPECT_NE(rc.find("procname=\"/usr/local/sbin/${name}\""), std::string::npos) << rc;
    run_options sh;
    sh.args = {"-n", prefix() + "/etc/rc.d/quarn_dumper"};
    const run_result syntax = run("/bin/sh", sh);
    EXPECT_EQ(syntax.status, 0) << syntax.err;

    // newsyslog signals the daemon through the PID file the rc.d script
    // gives it.
    const std::string pidfile_line = "\nquarn_dumper_pidfile=\"/var/run/${name}.pid\"";
    EXPECT_NE(rc.find(pidfile_line), std::string::npos);
    const std::string rotation = read_text(prefix() + "/etc/newsyslog.conf.d/quarn_dumper.conf");
    EXPECT_NE(rotation.find("/var/log/quarn_dumps/records"), std::string::npos);
    EXPECT_NE(rotation.find("/var/run/quarn_dumper.pid"), std::string::npos);

    // The installed synthesizer's story goes through the installed daemon
    // into dumps that the installed inspector checks: an installation can be
    // tried on a stored stream.
    daemon_setup d;
    run_options so;
    so.args = {"--story", "-k", d.tmp / "sysctl", "-o", d.input};
    const run_result story = run(prefix() + "/bin/quarn_synth", so);
    ASSERT_EQ(story.status, 0) << story.err;
    d.sysctl_dir = d.tmp / "sysctl";
    const run_result daemon = run(prefix() + "/sbin/quarn_dumper", d.options());
    ASSERT_EQ(daemon.status, 0) << daemon.err;
    const std::vector<std::string> lines = split_lines(read_text(d.out + "/records"));
    ASSERT_EQ(lines.size(), 4u) << "the story's four messages, one dump each";
    run_options check;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, std::regex(R"re("filename":"([^"]+)")re"))) << line;
        check.args.push_back(d.out + "/" + m[1].str());
    }
    check.args.insert(check.args.begin(), "--check");
    const run_result checked = run(prefix() + "/bin/quarn_inspect", check);
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

// The port's build: the tree configured with the Makefile's CMake options,
// installed into a staging folder, and the ports framework's own part done
// as it does it (the rc.d script from files/ with SUB_LIST's fields). The
// USERS and GROUPS names are replaced, to show that nothing else names them.
class PortStaging : public testing::Test {
protected:
    static constexpr const char* TEST_USER = "qd_test_user";
    static constexpr const char* TEST_GROUP = "qd_test_group";

    static void SetUpTestSuite() {
        dir_ = new temp_dir;
        mk_ = new port_makefile(read_port_makefile(port_dir() + "/Makefile"));
        for (port_assignment& a : mk_->assignments) {
            if (a.name == "USERS") a.value = TEST_USER;
            if (a.name == "GROUPS") a.value = TEST_GROUP;
        }
        const std::string build = *dir_ / "build";
        run_options cfg;
        cfg.args = {"-S", QUARN_SOURCE_DIR, "-B", build, "-G", QUARN_CMAKE_GENERATOR,
                    "-DCMAKE_CXX_COMPILER=" + std::string(QUARN_CXX_COMPILER),
                    "-DCMAKE_INSTALL_PREFIX=" + std::string(PREFIX)};
        for (const std::string& w : words(mk_->expand(mk_->value("CMAKE_ARGS")))) cfg.args.push_back(w);
        for (const std::string& w : words(mk_->value("CMAKE_ON"))) cfg.args.push_back("-D" + w + ":BOOL=ON");
        for (const std::string& w : words(mk_->value("CMAKE_OFF"))) cfg.args.push_back("-D" + w + ":BOOL=OFF");
        // Options are on by default; EXAMPLES among them.
        for (const std::string& opt : words(mk_->value("OPTIONS_DEFINE"))) {
            for (const std::string& w : words(mk_->value(opt + "_CMAKE_BOOL"))) {
                cfg.args.push_back("-D" + w + ":BOOL=true");
            }
        }
        steps_ = new std::string;
        const run_result c = run(QUARN_CMAKE_COMMAND, cfg);
        *steps_ += "configure: " + std::to_string(c.status) + "\n" + c.err;
        if (c.status != 0) return;
        // The programs are those of this build: compiling them again would
        // show nothing about the layout.
        for (const char* program : {QUARN_DAEMON_PATH, QUARN_INSPECT_PATH, QUARN_SYNTH_PATH}) {
            const std::string name = std::filesystem::path(program).filename();
            std::filesystem::copy_file(program, build + "/" + name);
        }
        run_options inst;
        inst.args = {"--install", build};
        inst.env["DESTDIR"] = *dir_ / "stage";
        const run_result i = run(QUARN_CMAKE_COMMAND, inst);
        *steps_ += "install: " + std::to_string(i.status) + "\n" + i.err;
        if (i.status != 0) return;

        // USE_RC_SUBR: files/NAME.in with the fields of SUB_LIST filled,
        // installed as a script.
        std::map<std::string, std::string> sub = {{"PREFIX", PREFIX}, {"LOCALBASE", PREFIX}};
        for (const std::string& pair : words(mk_->expand(mk_->value("SUB_LIST")))) {
            sub[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
        }
        for (const std::string& script : words(mk_->value("USE_RC_SUBR"))) {
            std::string text = read_text(port_dir() + "/files/" + script + ".in");
            for (const auto& [key, value] : sub) {
                for (size_t at; (at = text.find("%%" + key + "%%")) != std::string::npos;) {
                    text.replace(at, key.size() + 4, value);
                }
            }
            std::filesystem::create_directories(stage() + "/etc/rc.d");
            write_file(stage() + "/etc/rc.d/" + script, text);
            chmod((stage() + "/etc/rc.d/" + script).c_str(), 0555);
            rc_scripts_.insert("etc/rc.d/" + script);
        }
        ok_ = true;
    }
    static void TearDownTestSuite() {
        delete mk_;
        delete steps_;
        delete dir_;
    }
    static std::string stage() { return *dir_ / "stage" + PREFIX; }

    static temp_dir* dir_;
    static port_makefile* mk_;
    static std::string* steps_;
    static bool ok_;
    static std::set<std::string> rc_scripts_;
};

temp_dir* PortStaging::dir_ = nullptr;
port_makefile* PortStaging::mk_ = nullptr;
std::string* PortStaging::steps_ = nullptr;
bool PortStaging::ok_ = false;
std::set<std::string> PortStaging::rc_scripts_;

TEST_F(PortStaging, PackingListNamesTheStagedFiles) {
    ASSERT_TRUE(ok_) << *steps_;
    // The packing list as the framework expands it (EXAMPLES on); manual
    // pages are listed compressed, as the framework leaves them.
    const std::map<std::string, std::string> plist_sub = {
        {"%%DATADIR%%", "share/quarn_dumper"},
        {"%%EXAMPLESDIR%%", "share/examples/quarn_dumper"},
        {"%%PORTEXAMPLES%%", ""},
    };
    std::set<std::string> listed = rc_scripts_;
    std::istringstream plist(read_text(port_dir() + "/pkg-plist"));
    for (std::string line; std::getline(plist, line);) {
        for (const auto& [key, value] : plist_sub) {
            for (size_t at; (at = line.find(key)) != std::string::npos;) line.replace(at, key.size(), value);
        }
        if (line.rfind("@sample ", 0) == 0) line = line.substr(8);
        ASSERT_NE(line[0], '@') << line;
        if (line.rfind("share/man/", 0) == 0 && line.size() > 3 && line.compare(line.size() - 3, 3, ".gz") == 0) {
            line.resize(line.size() - 3);
        }
        listed.insert(line);
    }
    std::set<std::string> staged;
    for (const auto& [path, mode] : tree(stage())) staged.insert(path);
    EXPECT_EQ(listed, staged);
    for (const auto& [path, mode] : tree(*dir_ / "stage")) {
        EXPECT_EQ(path.rfind("usr/local/", 0), 0u) << path << " is outside the prefix";
    }
}

TEST_F(PortStaging, UserNamedOnlyInTheMakefile) {
    ASSERT_TRUE(ok_) << *steps_;
    const named_users u = users_named(stage());
    EXPECT_EQ(u.rc_default, TEST_USER);
    EXPECT_EQ(u.manual, TEST_USER);
    EXPECT_EQ(u.newsyslog_owner, TEST_USER);
    const std::string rotation = read_text(stage() + "/etc/newsyslog.conf.d/quarn_dumper.conf.sample");
    EXPECT_NE(rotation.find(std::string(TEST_USER) + ":" + TEST_GROUP + "\t"), std::string::npos) << rotation;
    EXPECT_NE(read_text(stage() + "/share/man/man8/quarn_dumper.8").find(".Dq " + std::string(TEST_GROUP) + " ,"),
              std::string::npos);
    for (const auto& [path, mode] : tree(stage())) {
        if (path.rfind("etc/", 0) != 0 && path.rfind("share/man/", 0) != 0) continue;
        const std::string text = read_text(stage() + "/" + path);
        EXPECT_EQ(text.find("%%"), std::string::npos) << path;
    }
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

// The first line of the PID file as a pid, or 0.
pid_t pid_in(const std::string& pidfile) {
    std::istringstream in(read_text(pidfile));
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

std::vector<std::string> proc_argv(pid_t pid) {
    std::vector<std::string> argv;
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/cmdline"));
    for (std::string a; std::getline(in, a, '\0');) argv.push_back(a);
    return argv;
}

size_t line_count(const std::string& path) {
    return file_exists(path) ? split_lines(read_text(path)).size() : 0;
}

// The installed rc.d script under FreeBSD's rc.subr, in a private
// folder. Only what this machine lacks stands in: kenv and limits; ps and
// pwait of FreeBSD (rc.subr asks ps for "pid jid command" and waits with
// pwait); and daemon(8), as far as the script uses it. Like FreeBSD's, the
// stand-in returns at once and supervises in the background under the
// title "daemon:"; it writes its -P PID file, runs the program the script
// names (the real daemon, under that name), starts it again -R seconds
// after each end, and on SIGTERM passes the signal on and ends without
// waiting for the program (a daemon(8) may end first, so the script must
// not count on it). It notes its own pid, the restart delay, each end of
// the program with its status, and every other signal that reaches it. The daemon reads a FIFO named as the log device;
// its directory has a blank and quotes in its name.
class RcScript : public StagingInstall {
protected:
    void SetUp() override {
        ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
        if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to the daemon's user";
        rc_subr_ = find_rc_subr();
        if (rc_subr_.empty()) GTEST_SKIP() << "no FreeBSD rc.subr beside the checkout";
        const passwd* pw = getpwnam("nobody");
        ASSERT_NE(pw, nullptr);
        nobody_uid_ = pw->pw_uid;

        // The daemon, as "nobody", must reach its directory inside.
        ASSERT_EQ(chmod(t_.path().c_str(), 0755), 0);
        for (const char* d : {"bin", "run"}) ASSERT_EQ(mkdir((t_ / d).c_str(), 0755), 0);
        const std::map<std::string, std::string> stubs = {
            {"bin/kenv", "#!/bin/sh\nexit 1\n"},
            {"bin/limits", "#!/bin/sh\n[ \"$1\" = -C ] && shift 2\nexec \"$@\"\n"},
            {"bin/ps",
             "#!/bin/sh\n"
             "while [ $# -gt 0 ]; do [ \"$1\" = -p ] && pids=$2; shift; done\n"
             "for p in $pids; do\n"
             "  cmd=$(tr '\\0' ' ' < /proc/$p/cmdline 2>/dev/null) || continue\n"
             "  [ -n \"$cmd\" ] && echo \"$p 0 ${cmd% }\"\n"
             "done\n"
             "exit 0\n"},
            {"bin/pwait",
             "#!/bin/sh\necho \"$@\" >> " + (t_ / "pwait.log") +
                 "\nfor p in \"$@\"; do while kill -0 \"$p\" 2>/dev/null; do sleep 0.01; done; done\n"},
            {"daemon",
             "#!/bin/bash\n"
             "if [ -z \"$STUB_SUPERVISOR\" ]; then\n"
             "  (export STUB_SUPERVISOR=1; exec -a daemon: /bin/bash \"$0\" \"$@\" < /dev/null >> " + log_path() +
                 " 2>&1) &\n"
             "  exit 0\n"
             "fi\n"
             "echo $$ >> " + (t_ / "daemon.pids") + "\n"
             "for s in HUP INT USR1 USR2; do trap \"echo $s >> " + (t_ / "daemon.signals") + "\" $s; done\n"
             "while getopts ST:P:R: o; do\n"
             "  case $o in\n"
             "  S) syslog=1 ;;\n"
             "  T) tag=$OPTARG ;;\n"
             "  P) own_pidfile=$OPTARG ;;\n"
             "  R) delay=$OPTARG ;;\n"
             "  *) echo \"daemon: option $o\"; exit 1 ;;\n"
             "  esac\n"
             "done\n"
             "shift $((OPTIND - 1))\n"
             "[ \"$syslog $tag\" = \"1 quarn_dumper\" ] || { echo \"daemon: not -S -T quarn_dumper\"; exit 1; }\n"
             "[ -n \"$own_pidfile\" ] && [ -n \"$delay\" ] || { echo \"daemon: no -P or -R\"; exit 1; }\n"
             "[ \"$1\" = " + procname() + " ] || { echo \"daemon: program $1\"; exit 1; }\n"
             "shift\n"
             "echo $$ > \"$own_pidfile\"\n"
             "echo \"$delay\" > " + (t_ / "daemon.delay") + "\n"
             "child=; pause=\n"
             "trap 'kill -TERM $child $pause 2>/dev/null; rm -f \"$own_pidfile\"; exit 0' TERM\n"
             "while :; do\n"
             "  (exec -a " + procname() + " " + prefix() + "/sbin/quarn_dumper \"$@\") &\n"
             "  child=$!\n"
             "  while :; do wait $child 2>/dev/null; status=$?; kill -0 $child 2>/dev/null || break; done\n"
             "  echo \"$child $status\" >> " + (t_ / "daemon.exits") + "\n"
             "  child=\n"
             "  sleep \"$delay\" & pause=$!\n"
             "  wait $pause; pause=\n"
             "done\n"},
        };
        for (const auto& [name, text] : stubs) {
            write_file(t_ / name, text);
            ASSERT_EQ(chmod((t_ / name).c_str(), 0755), 0);
        }
        std::string script = read_text(prefix() + "/etc/rc.d/quarn_dumper");
        replace_once(script, ". /etc/rc.subr", ". " + rc_subr_ + "\nPS=\"" + (t_ / "bin/ps") + " -ww\"");
        replace_once(script, "command=\"/usr/sbin/daemon\"", "command=\"" + (t_ / "daemon") + "\"");
        replace_once(script, "pidfile=\"/var/run/${name}_daemon.pid\"", "pidfile=\"" + daemon_pidfile() + "\"");
        replace_once(script, "quarn_dumper_pidfile=\"/var/run/${name}.pid\"",
                     "quarn_dumper_pidfile=\"" + pidfile() + "\"");
        replace_once(script, "required_files=\"/dev/tcp_log\"", "required_files=\"" + device() + "\"");
        write_file(t_ / "quarn_dumper", script);
        rc_conf_ = {{"quarn_dumper_enable", "YES"},
                    {"quarn_dumper_user", "nobody"},
                    {"quarn_dumper_dir", dir()},
                    {"quarn_dumper_flags", "-f " + device()}};
    }

    std::string procname() const { return std::string(PREFIX) + "/sbin/quarn_dumper"; }
    std::string daemon_pidfile() const { return t_ / "run/quarn_dumper_daemon.pid"; }
    std::string pidfile() const { return t_ / "run/quarn_dumper.pid"; }
    std::string device() const { return t_ / "tcp_log"; }
    std::string dir() const { return t_ / "dumps dir 'q'"; }
    std::string log_path() const { return t_ / "daemon.log"; }
    std::string log() const { return read_text(log_path()); }
    std::string exits() const { return read_text(t_ / "daemon.exits"); }

    run_options service_options(const std::string& command) const {
        run_options o;
        o.args = {t_ / "quarn_dumper", command};
        o.env = rc_conf_;
        o.env["PATH"] = (t_ / "bin") + ":" + getenv("PATH");
        o.unset_env = {"QUARN_SYSCTL_DIR"};
        return o;
    }
    run_result service(const std::string& command) const { return run("/bin/sh", service_options(command)); }

    // The program named in its PID file runs, other than `previous`, as the
    // program the script names, and waits for input; its pid, or 0.
    pid_t started(pid_t previous, int timeout_ms = 10000) const {
        pid_t pid = 0;
        const bool up = wait_until([&] {
            pid = pid_in(pidfile());
            return pid > 0 && pid != previous && waiting_for_input(pid);
        }, timeout_ms);
        EXPECT_TRUE(up) << log();
        return up ? pid : 0;
    }

    // Every daemon(8) the script started, and every program those ran.
    std::vector<pid_t> all_started() const {
        std::vector<pid_t> pids;
        std::istringstream sup(read_text(t_ / "daemon.pids"));
        for (long p; sup >> p;) pids.push_back(static_cast<pid_t>(p));
        for (const std::string& line : split_lines(exits())) pids.push_back(std::stoi(line));
        return pids;
    }

    temp_dir t_;
    std::string rc_subr_;
    uid_t nobody_uid_ = 0;
    std::map<std::string, std::string> rc_conf_;
};

// What stop prints: rc.subr's line, and the waits for daemon(8) and for the
// program when they have not ended by the first look.
std::regex stopping(const std::string& then) {
    return std::regex("Stopping quarn_dumper\\.\n(Waiting for PIDS: [0-9]+\\.\n){0,2}" +
                      std::regex_replace(then, std::regex(R"(\.)"), R"(\.)"));
}

bool ended(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

// The whole life of the service: start, status, reload, a crash and the
// restart that follows, restart, stop.
TEST_F(RcScript, StartsRestartsAfterACrashAndStopsForGood) {
    fifo_input input(device());
    auto message = [&](uint16_t fport) {
        build::header_fields h;
        h.fport = fport;
        EXPECT_TRUE(input.write_all(build::message(h, {build::record_fields{}})));
    };

    run_result r = service("start");
    ASSERT_EQ(r.status, 0) << r.out << r.err << log();
    EXPECT_EQ(r.out, "Starting quarn_dumper.\n");
    const pid_t first = started(0);
    ASSERT_GT(first, 0);
    const pid_t supervisor = pid_in(daemon_pidfile());
    ASSERT_GT(supervisor, 0);
    // Each value reached the program as one argument, the blank included.
    EXPECT_EQ(proc_argv(first), (std::vector<std::string>{procname(), "-p", pidfile(), "-u", "nobody", "-D",
                                                          dir(), "-f", device()}));
    // A program that keeps failing is started again every few seconds,
    // not in a tight loop.
    EXPECT_GE(std::stoi("0" + read_text(t_ / "daemon.delay")), 5);
    struct stat st;
    ASSERT_EQ(stat(dir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_uid, nobody_uid_);

    r = service("status");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "quarn_dumper is running as pid " + std::to_string(supervisor) + ".\n");

    // reload: after the index is renamed, the next line goes into a new
    // "records", so SIGHUP reached the program.
    message(50001);
    ASSERT_TRUE(wait_until([&] { return line_count(dir() + "/records") == 1; })) << log();
    ASSERT_EQ(rename((dir() + "/records").c_str(), (dir() + "/records.0").c_str()), 0);
    r = service("reload");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    message(50002);
    EXPECT_TRUE(wait_until([&] { return line_count(dir() + "/records") == 1; })) << log();
    EXPECT_EQ(line_count(dir() + "/records.0"), 1u);

    // A crash: daemon(8) starts the program again after its pause, and the
    // new one writes index lines.
    ASSERT_EQ(kill(first, SIGKILL), 0);
    const pid_t second = started(first, 30000);
    ASSERT_GT(second, 0);
    EXPECT_EQ(exits(), std::to_string(first) + " " + std::to_string(128 + SIGKILL) + "\n");
    r = service("status");
    EXPECT_EQ(r.out, "quarn_dumper is running as pid " + std::to_string(supervisor) + ".\n");
    message(50003);
    EXPECT_TRUE(wait_until([&] { return line_count(dir() + "/records") == 2; })) << log();

    // restart: the first daemon(8) and its program have ended before the
    // second starts.
    r = service("restart");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_match(r.out, stopping("Starting quarn_dumper.\n"))) << r.out;
    const pid_t third = started(second);
    ASSERT_GT(third, 0);
    const pid_t supervisor2 = pid_in(daemon_pidfile());
    EXPECT_NE(supervisor2, supervisor);
    EXPECT_TRUE(ended(supervisor));
    EXPECT_TRUE(ended(second));
    message(50004);
    EXPECT_TRUE(wait_until([&] { return line_count(dir() + "/records") == 3; })) << log();

    // stop returns once both have ended, although daemon(8) ends without
    // waiting for the program: held stopped here, the program is what stop
    // waits for once daemon(8) has gone. Then the PID files name no one,
    // and nothing the script started runs on.
    ASSERT_EQ(kill(third, SIGSTOP), 0);
    process stop("/bin/sh", service_options("stop"));
    const bool waits_for_program = wait_until([&] {
        return ended(supervisor2) && read_text(t_ / "pwait.log").find(std::to_string(third)) != std::string::npos;
    });
    EXPECT_TRUE(waits_for_program) << read_text(t_ / "pwait.log");
    EXPECT_NE(proc_state(stop.pid()), 'Z') << "stop returned while the program ran";
    ASSERT_EQ(kill(third, SIGCONT), 0);
    r = stop.wait();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_match(r.out, stopping(""))) << r.out;
    for (const pid_t pid : all_started()) EXPECT_TRUE(ended(pid)) << pid;
    EXPECT_EQ(pid_in(pidfile()), 0);
    EXPECT_FALSE(file_exists(daemon_pidfile()));
    r = service("status");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "quarn_dumper is not running.\n");

    // The program reported nothing, and no signal but stop's SIGTERM
    // reached daemon(8).
    EXPECT_EQ(log(), "");
    EXPECT_FALSE(file_exists(t_ / "daemon.signals")) << read_text(t_ / "daemon.signals");
}

TEST_F(RcScript, AnExistingDirectoryKeepsItsOwnerAndMode) {
    fifo_input input(device());
    // Writable by the daemon's user, but not as the script would make it.
    ASSERT_EQ(mkdir(dir().c_str(), 0700), 0);
    ASSERT_EQ(chown(dir().c_str(), nobody_uid_, 0), 0);
    run_result r = service("start");
    ASSERT_EQ(r.status, 0) << r.out << r.err << log();
    EXPECT_GT(started(0), 0);
    struct stat st;
    ASSERT_EQ(stat(dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, nobody_uid_);
    EXPECT_EQ(st.st_gid, 0u);
    r = service("stop");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A start that does not leave the program running fails, says so, and
// leaves nothing behind that would try again: a program that ends at once
// (a bad flag), and a kernel without the log device, which rc.subr's check
// of the required files refuses before anything runs.
TEST_F(RcScript, AFailedStartIsReported) {
    const struct {
        const char* name;
        std::string flags;  // after "-f DEVICE"
        bool device;        // the log device exists
        std::string says;   // on standard error
        std::string log;    // the program's report; empty when it may not run
    } cases[] = {
        {"a bad flag", " -x", true, "WARNING: quarn_dumper failed to start", "Unknown option -x.\n"},
        {"no log device", "", false, "WARNING: " + device() + " is not readable.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<fifo_input> input;
        if (c.device) input = std::make_unique<fifo_input>(device());
        rc_conf_["quarn_dumper_flags"] = "-f " + device() + c.flags;
        const run_result r = service("start");
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        for (const pid_t pid : all_started()) EXPECT_TRUE(ended(pid)) << pid;
        EXPECT_FALSE(file_exists(daemon_pidfile()));
        EXPECT_EQ(pid_in(pidfile()), 0);
        const run_result status = service("status");
        EXPECT_EQ(status.status, 1);
        EXPECT_EQ(status.out, "quarn_dumper is not running.\n");
        if (c.log.empty()) {
            EXPECT_EQ(all_started(), std::vector<pid_t>{});
            EXPECT_FALSE(file_exists(dir())) << "made although the start was refused";
        } else {
            EXPECT_NE(log().find(c.log), std::string::npos) << log();
        }
        for (const char* f : {"daemon.pids", "daemon.exits", "daemon.log"}) unlink((t_ / f).c_str());
        rmdir(dir().c_str());
        input.reset();
        unlink(device().c_str());
    }
}

// The one line of the example crontab: when it runs and its command.
struct crontab_entry {
    int minute = -1, hour = -1;
    std::string command;
};

crontab_entry example_crontab(const std::string& prefix_dir) {
    crontab_entry e;
    std::istringstream lines(read_text(prefix_dir + "/share/examples/quarn_dumper/crontab"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string mday, month, wday, who;
        fields >> e.minute >> e.hour >> mday >> month >> wday >> who;
        EXPECT_EQ(who, "root") << line;
        std::getline(fields >> std::ws, e.command);
    }
    EXPECT_FALSE(e.command.empty());
    return e;
}

TEST_F(StagingInstall, ExampleCrontabExpiresOldDumpsOnly) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    // The command of the one crontab line, run on a private directory.
    std::string command = example_crontab(prefix()).command;
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

// The installed newsyslog entry and example crontab together: no index
// file goes before the dumps it names, so `quarn_inspect --reindex` after
// the oldest index file went adds no line for dumps that went with it,
// and still finds a line that a crash lost.
//
// Real dumps of the daemon are spread over the days the rotation keeps and
// beyond, a minute before and after each rotation, and their lines go into
// "records" and "records.N" as the entry's count, hour and flags rotate
// them. The crontab's own command runs as at its hour (now, for the dumps'
// times), and the directory is then looked at just after the next
// rotation, when the oldest index file has just gone and the command has
// not run since: the worst moment. Days have 24 hours, as on a machine on
// UTC. find here is GNU's, which rounds ages down and so keeps dumps up to
// a day longer than FreeBSD's.
TEST_F(StagingInstall, RotationKeepsTheIndexOfEveryKeptDump) {
    ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    ASSERT_TRUE(have_program("xz"));
    // The entry's fields: logfilename owner:group mode count size when flags ...
    std::vector<std::string> entry;
    for (const std::string& line : split_lines(read_text(prefix() + "/etc/newsyslog.conf.d/quarn_dumper.conf"))) {
        if (line.rfind("/var/log/quarn_dumps/records", 0) == 0) entry = words(line);
    }
    ASSERT_GE(entry.size(), 7u);
    const int count = std::stoi(entry[3]);
    ASSERT_TRUE(std::regex_match(entry[5], std::regex(R"(@T\d\d)"))) << "rotated at an hour each day: " << entry[5];
    const int rotation_hour = std::stoi(entry[5].substr(2));
    const bool xz = entry[6].find('X') != std::string::npos;
    crontab_entry cron = example_crontab(prefix());
    ASSERT_FALSE(cron.command.empty());

    const time_t day = 24 * 60 * 60;
    const time_t cron_run = time(nullptr);
    time_t until_rotation = (rotation_hour * 3600 - (cron.hour * 3600 + cron.minute * 60) + day) % day;
    if (until_rotation == 0) until_rotation = day;
    // rotation[k]: the k-th rotation before the moment looked at.
    auto rotation = [&](int k) { return cron_run + until_rotation - k * day; };

    struct placed {
        time_t mtime;
        std::string file;  // its dump file
        int index = -1;    // -1: "records"; N: "records.N"
    };
    std::vector<placed> dumps;
    for (int k = 0; k <= count + 2; k++) {
        for (const time_t at : {rotation(k) - 60, rotation(k) + 60}) dumps.push_back({at, ""});
    }
    // A dump of the day being written, whose line a crash lost.
    dumps.push_back({rotation(0) + 30, ""});
    const size_t lost_line = dumps.size() - 1;

    daemon_setup s;
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < dumps.size(); i++) {
        build::header_fields h;
        h.fport = static_cast<uint16_t>(40000 + i);
        append(stream, build::message(h, {build::record_fields{}}));
    }
    const run_result daemon = s.run_stream(stream);
    ASSERT_EQ(daemon.status, 0) << daemon.err;
    std::map<std::string, std::string> line_of;  // dump file -> its index line
    for (const std::string& line : split_lines(read_text(s.out + "/records"))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, std::regex(R"re("filename":"([^"]+)")re"))) << line;
        line_of[m[1]] = line + "\n";
    }
    ASSERT_EQ(line_of.size(), dumps.size());
    ASSERT_EQ(unlink((s.out + "/records").c_str()), 0);

    std::map<int, std::string> index_text;
    std::vector<std::string> expired;  // dumps whose index file has gone
    size_t in_rotated = 0;
    for (size_t i = 0; i < dumps.size(); i++) {
        placed& d = dumps[i];
        d.file = "conn_443_10.0.0.2_" + std::to_string(40000 + i) + ".0.pcapng";
        ASSERT_TRUE(line_of.count(d.file)) << d.file;
        const timeval times[2] = {{d.mtime, 0}, {d.mtime, 0}};
        ASSERT_EQ(utimes((s.out + "/" + d.file).c_str(), times), 0);
        for (int k = 0; d.mtime < rotation(k); k++) d.index = k;
        if (d.index >= count) {
            expired.push_back(d.file);
        } else if (i != lost_line) {
            index_text[d.index] += line_of[d.file];
            in_rotated += d.index >= 0;
        }
    }
    ASSERT_FALSE(expired.empty());
    ASSERT_GT(in_rotated, 0u);
    for (const auto& [index, text] : index_text) {
        const std::string name = s.out + "/records" + (index < 0 ? "" : "." + std::to_string(index));
        write_file(name, text);
        if (index < 0 || !xz) continue;
        run_options compress;
        compress.args = {"xz", name};
        const run_result r = run("/usr/bin/env", compress);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(file_exists(name + ".xz"));
    }

    replace_once(cron.command, "/var/log/quarn_dumps", s.out);
    run_options sh;
    sh.args = {"-c", cron.command};
    const run_result expiry = run("/bin/sh", sh);
    ASSERT_EQ(expiry.status, 0) << expiry.err;
    for (const std::string& f : expired) EXPECT_FALSE(file_exists(s.out + "/" + f)) << f << " outlived its index file";

    run_options reindex;
    reindex.args = {"--reindex", s.out};
    const run_result r = run(QUARN_INSPECT_PATH, reindex);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, line_of[dumps[lost_line].file]);
}

}  // namespace
}  // namespace quarn::test
