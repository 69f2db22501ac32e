#include "run_capture.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver.h"
#include "settings.h"

static std::string slurp(int fd) {
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
  return text;
}

static int temp_file_with(const std::string& text) {
  char name[] = "/tmp/tenvik-test-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) abort();
  unlink(name);
  if (!text.empty() &&
      write(fd, text.data(), text.size()) != ssize_t(text.size()))
    abort();
  lseek(fd, 0, SEEK_SET);
  return fd;
}

void exec_tenvik(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(TENVIK_BINARY));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(TENVIK_BINARY, argv.data());
  _exit(127);
}

captured run_tenvik(const std::vector<std::string>& args,
                    const std::string& input, const std::string& cwd) {
  // Files rather than pipes: no deadlock however much either side writes.
  int in = temp_file_with(input);
  int out = temp_file_with("");
  int err = temp_file_with("");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    exec_tenvik(args);
  }
  captured result;
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status =
      WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  lseek(out, 0, SEEK_SET);
  lseek(err, 0, SEEK_SET);
  result.out = slurp(out);
  result.err = slurp(err);
  close(in);
  close(out);
  close(err);
  return result;
}

captured run_list(const std::string& input, const run_settings& s) {
  reset_run();
  settings.opt_invert = s.invert;
  settings.opt_silent = s.silent;
  settings.opt_positive = s.positive;
  settings.trace_flags = s.trace;
  settings.opt_optimal = s.optimal;
  settings.family = s.family == 6 ? FAMILY_IPV6 : FAMILY_IPV4;
  settings.opt_strict = s.strict;
  settings.permit_string = s.permit.c_str();
  settings.deny_string = s.deny.c_str();
  settings.format_string = s.format.empty() ? nullptr : s.format.c_str();
  char* out_text = nullptr;
  char* err_text = nullptr;
  size_t out_size = 0, err_size = 0;
  settings.out_stream = open_memstream(&out_text, &out_size);
  settings.err_stream = open_memstream(&err_text, &err_size);
  check_format();
  int fd = temp_file_with(input);
  captured result;
  result.status = run_input(fd, "-");
  close(fd);
  fclose(settings.out_stream);
  fclose(settings.err_stream);
  result.out.assign(out_text, out_size);
  result.err.assign(err_text, err_size);
  free(out_text);
  free(err_text);
  reset_run();
  return result;
}

captured_streams::captured_streams() {
  reset_run();
  settings.out_stream = open_memstream(&out_text_, &out_size_);
  settings.err_stream = open_memstream(&err_text_, &err_size_);
  out_ = settings.out_stream;
  err_ = settings.err_stream;
}

captured_streams::~captured_streams() {
  fclose(out_);
  fclose(err_);
  free(out_text_);
  free(err_text_);
  reset_run();
}

std::string captured_streams::out() {
  fflush(out_);
  return std::string(out_text_, out_size_);
}

std::string captured_streams::err() {
  fflush(err_);
  return std::string(err_text_, err_size_);
}
