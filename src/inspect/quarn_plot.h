// A picture of one connection: its time line (quarn_timeline.h) drawn by
// gnuplot as one figure of panels over a shared time axis: the events of
// interest by name, the send sequence space (snd_una, snd_max, the
// sequence numbers of the segments sent and the acknowledgements
// received), the windows in bytes (cwnd, ssthresh, snd_wnd), and srtt and
// rttvar as the stack keeps them (raw). Stretches where records were lost
// are shaded in every panel.
//
// gnuplot runs as a child process (no shell) on a script and data files
// written into a private temporary directory, which is removed afterwards;
// the picture is copied to its destination only once gnuplot has succeeded.
#ifndef QUARN_PLOT_H
#define QUARN_PLOT_H

#include <string>
#include <string_view>

#include "quarn_timeline.h"

namespace quarn {

enum class plot_format { png, svg };

// The format an output name asks for by its suffix (".png" or ".svg",
// any case); false for any other name.
bool plot_format_of(std::string_view out_path, plot_format& f);

// The full path of `program` found through $PATH as execvp would, or empty
// when it is not there.
std::string plot_find_program(std::string_view program, std::string_view path_env);

// The gnuplot script that draws `t` from the data files in `dir` into
// "<dir>/plot.out"; writes those data files. 0 with `script` set; -1 with
// a message in `err` when a file cannot be written.
int plot_write_files(const timeline& t, const std::string& dir, plot_format f, std::string& script,
                     std::string& err);

// Draws `t` into `out_path` with the gnuplot at `gnuplot`. 0 on success;
// -1 with a one-line message in `err` (a file that cannot be made,
// gnuplot's failure with the first line it printed).
int plot_timeline(const timeline& t, const std::string& gnuplot, const std::string& out_path,
                  plot_format f, std::string& err);

}  // namespace quarn

#endif
