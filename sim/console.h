// The program's standard input and output on the simulated shield.
//
// Standard output is always passed through a recorder that stamps each line
// with the simulated time and can answer it (the scripted controlling side);
// standard input comes from the simulator's own feed when a scenario or a
// test writes it, otherwise straight from the process's standard input.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct OutputLine {
  int64_t t_ns;
  std::string text;
};

// Replaces the C library's stdout with the recorder. With echo_fd >= 0 the
// bytes are also written there as they come (zul_stm_sim passes its own
// standard output through); a failed echo is a failed write for the program.
void console_capture_stdout(int echo_fd);
// Replaces the C library's stdin with the simulator's feed.
void console_feed_stdin();

// The feed: text appended, and its end.
void input_push(const std::string& text);
void input_close();

// Lines printed so far, and the bytes of a line not yet ended.
std::vector<OutputLine> output_lines();
size_t output_line_count();
// Line i (< output_line_count()) as recorded, cut to the recorder's 119
// bytes; read without a lock or a copy, for the writers that run at exit.
struct OutputLineView {
  int64_t t_ns;
  const char* text;
};
OutputLineView output_line_at(size_t i);
// Everything printed, as one text.
std::string output_text();

// Runs fn(line) for every complete line printed from now on.
void on_output_line(std::function<void(const std::string&)> fn);

// Fresh feed and record (for a new test case).
void console_reset();
// Whether the record above keeps the lines and the text (the default after a
// reset, for tests); a long run that writes no file of them keeps neither,
// and its memory stays flat.
void console_keep_output(bool keep);

// Writes "<t> <line>" for every line to fd; safe at exit.
void write_lines_log(int fd);

}  // namespace sim
