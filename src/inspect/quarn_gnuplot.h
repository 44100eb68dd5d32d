// Running gnuplot: finding it on $PATH, and running it as a child process
// (no shell, standard input and output on /dev/null, standard error into
// a file) on a script that writes one picture, which is copied to its
// destination only once gnuplot has succeeded. Nothing here keeps state;
// any thread may call it.
#ifndef QUARN_GNUPLOT_H
#define QUARN_GNUPLOT_H

#include <string>
#include <string_view>

namespace quarn {

// The full path of `program` found through $PATH as execvp would, or empty
// when it is not there.
std::string plot_find_program(std::string_view program, std::string_view path_env);

// Writes `text` into the file at `path` (created or truncated). false with
// "<path>: why" in `err`.
bool plot_write_text(const std::string& path, const std::string& text, std::string& err);

// Runs the gnuplot at `gnuplot` on `script`, its standard error going to
// `err_path`; the script must write its picture to `made`, which is then
// copied to `out_path`. 0 on success; -1 with a one-line message in `err`
// (gnuplot that cannot start, that ends with a status or a signal or makes
// no picture, with the first line of its standard error that names a
// problem; a file that cannot be written).
int gnuplot_run(const std::string& gnuplot, const std::string& script, const std::string& err_path,
                const std::string& made, const std::string& out_path, std::string& err);

}  // namespace quarn

#endif
