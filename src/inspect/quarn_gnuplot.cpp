#include "quarn_gnuplot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "quarn_dumpwalk.h"

extern char** environ;

namespace quarn {

using dumpwalk::printf_text;

std::string plot_find_program(std::string_view program, std::string_view path_env) {
    if (program.find('/') != std::string_view::npos) return std::string(program);
    size_t at = 0;
    while (at <= path_env.size()) {
        size_t colon = path_env.find(':', at);
        if (colon == std::string_view::npos) colon = path_env.size();
        // An empty entry is the current directory.
        std::string dir(path_env.substr(at, colon - at));
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + std::string(program);
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = colon + 1;
    }
    return {};
}

bool plot_write_text(const std::string& path, const std::string& text, std::string& err) {
    FILE* f = fopen(path.c_str(), "we");
    if (!f) {
        err = path + ": " + strerror(errno);
        return false;
    }
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    if (fclose(f) != 0 || !ok) {
        err = path + ": " + strerror(errno);
        return false;
    }
    return true;
}

int gnuplot_run(const std::string& gnuplot, const std::string& script, const std::string& err_path,
                const std::string& made, const std::string& out_path, std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string script_arg = script;
    char* argv[] = {const_cast<char*>("gnuplot"), script_arg.data(), nullptr};
    pid_t pid;
    const int rc = posix_spawn(&pid, gnuplot.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        err = gnuplot + ": " + strerror(rc);
        return -1;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            err = std::string("waiting for gnuplot: ") + strerror(errno);
            return -1;
        }
    }

    struct stat st;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || stat(made.c_str(), &st) != 0 || st.st_size == 0) {
        std::string first;
        if (FILE* e = fopen(err_path.c_str(), "re")) {
            char line[300];
            // gnuplot repeats the failing command before its message; the
            // first line that names a problem says most.
            while (fgets(line, sizeof line, e)) {
                std::string l(line);
                while (!l.empty() && (l.back() == '\n' || l.back() == ' ')) l.pop_back();
                l.erase(0, l.find_first_not_of(' '));
                if (l.find("rror") != std::string::npos || l.find("arning") != std::string::npos) {
                    first = l;
                    break;
                }
                if (first.empty()) first = l;
            }
            fclose(e);
        }
        err = WIFEXITED(status) ? printf_text("gnuplot ended with status %d", WEXITSTATUS(status))
                                : printf_text("gnuplot ended by signal %d", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        if (!first.empty()) err += ": " + first;
        return -1;
    }

    // The picture goes to its place only now that it is whole.
    std::string bytes;
    if (FILE* in = fopen(made.c_str(), "re")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, in)) > 0) bytes.append(buf, n);
        fclose(in);
    }
    return plot_write_text(out_path, bytes, err) ? 0 : -1;
}

}  // namespace quarn
