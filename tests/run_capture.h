#ifndef TENVIK_RUN_CAPTURE_H_
#define TENVIK_RUN_CAPTURE_H_

#include <stdio.h>

#include <string>
#include <vector>

// What one run printed and how it ended.
struct captured {
  std::string out;
  std::string err;
  int status = -1;
};

/// In a forked child: becomes the built tenvik binary with these arguments
/// (exit status 127 if it cannot be started).
[[noreturn]] void exec_tenvik(const std::vector<std::string>& args);

/// Runs the built tenvik binary with these arguments, the input on its
/// standard input, in directory `cwd` (the current one when empty).
captured run_tenvik(const std::vector<std::string>& args,
                    const std::string& input, const std::string& cwd = "");

// Settings for a run inside the test process; the defaults are the
// program's.
struct run_settings {
  int invert = 0;
  int silent = 0;
  int positive = 0;
  int trace = 0;
  int optimal = 0;  // --optimal
  int family = 4;   // 4, or 6 for --ipv6
  int strict = 0;   // --strict
  std::string permit = "permit";
  std::string deny = "deny  ";
  std::string format;  // -f; empty for the family's default
};

/// Runs a list through the library in this process, as a fresh process
/// would (format check included), capturing what goes to standard output
/// and standard error. Much faster than run_tenvik, for property tests.
captured run_list(const std::string& input, const run_settings& s = {});

/// Default settings, with traces, entries and warnings captured in memory
/// (a run made after it writes there); everything is put back on
/// destruction.
class captured_streams {
 public:
  captured_streams();
  ~captured_streams();
  captured_streams(const captured_streams&) = delete;
  captured_streams& operator=(const captured_streams&) = delete;
  std::string out();
  std::string err();

 private:
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
  char* out_text_ = nullptr;
  char* err_text_ = nullptr;
  size_t out_size_ = 0, err_size_ = 0;
};

#endif  // TENVIK_RUN_CAPTURE_H_
