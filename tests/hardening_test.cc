// Hostile conditions that a case folder cannot set up: standard output on a
// full device or closed, lines of many megabytes, and memory that runs out
// under an address-space limit. Each test runs the built binary in a child
// process and compares standard output, standard error and the exit status
// exactly.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_capture.h"

#if defined(__SANITIZE_ADDRESS__)
#define TENVIK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TENVIK_UNDER_ASAN 1
#endif
#endif

namespace {

// Where the child's standard output goes.
enum class sink { CAPTURE, DEV_FULL, CLOSED };

struct child_run {
  std::vector<std::string> args;
  std::string input;
  // Pass the input as a file argument (after `args`) instead of on
  // standard input.
  bool input_as_file = false;
  sink out = sink::CAPTURE;
  // RLIMIT_AS of the child in bytes; 0 leaves it alone.
  rlim_t address_space = 0;
};

// A temporary file holding `text`; removed again by the destructor.
struct temp_file {
  std::string path;
  int fd = -1;
  explicit temp_file(const std::string& text) {
    char name[] = "/tmp/tenvik-hardening-XXXXXX";
    fd = mkstemp(name);
    if (fd < 0) abort();
    path = name;
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n <= 0) abort();
      done += size_t(n);
    }
    lseek(fd, 0, SEEK_SET);
  }
  ~temp_file() {
    close(fd);
    unlink(path.c_str());
  }
  std::string read_all() const {
    std::string text;
    char buf[65536];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    return text;
  }
};

captured run_child(const child_run& r) {
  temp_file in(r.input_as_file ? "" : r.input);
  temp_file list(r.input_as_file ? r.input : "");
  temp_file out("");
  temp_file err("");
  std::vector<std::string> args = r.args;
  if (r.input_as_file) args.push_back(list.path);
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(in.fd, 0);
    dup2(err.fd, 2);
    if (r.out == sink::CAPTURE) {
      dup2(out.fd, 1);
    } else if (r.out == sink::DEV_FULL) {
      int full = open("/dev/full", O_WRONLY);
      if (full < 0) _exit(125);
      dup2(full, 1);
      close(full);
    } else {
      close(1);
    }
    // The temporary files must not keep a low descriptor the program would
    // otherwise get for its input file (standard output closed).
    for (int fd : {in.fd, list.fd, out.fd, err.fd})
      if (fd > 2) close(fd);
    if (r.address_space) {
      struct rlimit limit = {r.address_space, r.address_space};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(124);
    }
    exec_tenvik(args);
  }
  int wstatus = 0;
  if (waitpid(pid, &wstatus, 0) != pid) abort();
  captured result;
  result.status =
      WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = out.read_all();
  result.err = err.read_all();
  return result;
}

const char* const LIST =
    "permit 10.0.0.0/8\n"
    "deny 10.1.0.0/16\n";

// n addresses spread over the whole space, each a /32 of its own: their
// paths share little, so the tree is wide and deep.
std::string spread_hosts(int n) {
  std::string text;
  char line[32];
  for (uint32_t i = 1; i <= uint32_t(n); i++) {
    uint32_t a = i * 0x9e3779b1u;
    snprintf(line, sizeof line, "%u.%u.%u.%u/32\n", a >> 24, (a >> 16) & 255,
             (a >> 8) & 255, a & 255);
    text += line;
  }
  return text;
}

size_t count_lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace

// A list that cannot be written whole must not end with status 0: a script
// would install a truncated (or empty) access list.
TEST(OutputFailure, UnwritableOutputFailsWithMessage) {
  struct row {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    bool input_as_file;
    sink out;
    std::string err;
  };
  const std::string many = spread_hosts(5000);  // far more than one buffer
  const std::vector<row> rows = {
      {"entries to /dev/full",
       {},
       LIST,
       false,
       sink::DEV_FULL,
       "Cannot write output\n"},
      {"entries to a closed stdout",
       {},
       LIST,
       false,
       sink::CLOSED,
       "Cannot write output\n"},
      {"the catch-all alone to /dev/full",
       {},
       "",
       false,
       sink::DEV_FULL,
       "Cannot write output\n"},
      {"thousands of entries to /dev/full",
       {},
       many,
       false,
       sink::DEV_FULL,
       "Cannot write output\n"},
      {"thousands of entries to a closed stdout",
       {},
       many,
       false,
       sink::CLOSED,
       "Cannot write output\n"},
      {"positive entries to /dev/full",
       {"-p"},
       LIST,
       false,
       sink::DEV_FULL,
       "Cannot write output\n"},
      {"warnings still come first",
       {},
       "10.0.0.0/40\n",
       false,
       sink::DEV_FULL,
       "WARNING: prefix /40 greater than 32\nCannot write output\n"},
      {"a trace with no entries to /dev/full",
       {"-p", "-t", "2"},
       "",
       false,
       sink::DEV_FULL,
       "Cannot write output\n"},
      {"input trace to a closed stdout",
       {"-p", "-t", "1"},
       "deny 10.0.0.0/8\n",
       false,
       sink::CLOSED,
       "Cannot write output\n"},
      // With standard output closed, the input file is opened as
      // descriptor 1; the entries must not be taken as written.
      {"input file on descriptor 1",
       {},
       LIST,
       true,
       sink::CLOSED,
       "Cannot write output\n"},
      {"input file, /dev/full",
       {},
       LIST,
       true,
       sink::DEV_FULL,
       "Cannot write output\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    child_run run;
    run.args = r.args;
    run.input = r.input;
    run.input_as_file = r.input_as_file;
    run.out = r.out;
    captured c = run_child(run);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(1, c.status);
  }
}

// In positive mode a list that permits nothing is empty. Nothing is lost
// when such a list meets an unwritable standard output, so the run
// succeeds: the complete (empty) list was delivered.
TEST(OutputFailure, EmptyPositiveListNeedsNoOutput) {
  struct row {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    sink out;
  };
  const std::vector<row> rows = {
      {"empty input, /dev/full", {"-p"}, "", sink::DEV_FULL},
      {"empty input, closed", {"-p"}, "", sink::CLOSED},
      {"deny lines only, /dev/full",
       {"-p"},
       "deny 10.0.0.0/8\n",
       sink::DEV_FULL},
      {"format without %m, closed",
       {"-s", "-f", "%a/%p"},
       "deny 1.2.3.4\n",
       sink::CLOSED},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    child_run run;
    run.args = r.args;
    run.input = r.input;
    run.out = r.out;
    captured c = run_child(run);
    EXPECT_EQ("", c.err);
    EXPECT_EQ(0, c.status);
  }
  // The same lists with a writable output really print nothing.
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    captured c = run_tenvik(r.args, r.input);
    EXPECT_EQ("", c.out);
    EXPECT_EQ(0, c.status);
  }
}

// Lines are handled whole, however long: the tail of a long line never
// becomes a line of its own.
TEST(LongLines, TenMegabyteLines) {
  const size_t TEN_MB = size_t(10) << 20;
  std::string comment_words;
  while (comment_words.size() < TEN_MB) comment_words += "11.0.0.0/8 ";
  std::string junk(TEN_MB, 'x');
  for (size_t i = 0; i < junk.size(); i += 1000) junk[i] = ' ';

  const std::string entries =
      "deny   10.1.0.0 0.0.255.255\n"
      "permit 10.0.0.0 0.255.255.255\n"
      "deny   0.0.0.0 255.255.255.255\n";
  struct row {
    const char* what;
    std::string input;
  };
  const std::vector<row> rows = {
      {"a comment of blocks",
       "permit 10.0.0.0/8 # " + comment_words + "\ndeny 10.1.0.0/16\n"},
      {"words after the block",
       "permit 10.0.0.0/8 " + junk + "\ndeny 10.1.0.0/16\n"},
      {"CRLF, the last line without newline",
       "permit 10.0.0.0/8 " + junk + "\r\n# " + comment_words +
           "\r\ndeny 10.1.0.0/16 " + junk},
      {"blanks before the block",
       std::string(TEN_MB, ' ') + "permit 10.0.0.0/8\n" +
           std::string(TEN_MB, '\t') + "deny 10.1.0.0/16\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    captured c = run_tenvik({}, r.input);
    EXPECT_EQ(entries, c.out);
    EXPECT_EQ("", c.err);
    EXPECT_EQ(0, c.status);
  }
}

// A big list is read a buffer at a time, most lines where they lie in it;
// a line cut by the buffer's end, and every shape, must read as it does
// line by line (where a leading blank sends each one).
TEST(LongLines, BigListReadsAsLineByLine) {
  for (int family = 4; family <= 6; family += 2) {
    std::string list, blanked;
    uint32_t x = 12345;
    char line[96];
    while (list.size() < (size_t(5) << 19)) {
      unsigned v[6];
      for (unsigned& n : v) n = (x = x * 1103515245u + 12345u) >> 16 & 255;
      unsigned a = v[0], b = v[1], c = v[2], d = v[3], n = v[4] % 33;
      if (family == 4) {
        switch (v[5] % 11) {
          case 0: snprintf(line, sizeof line, "%u.%u.%u.0/%u", a, b, c, n); break;
          case 1: snprintf(line, sizeof line, "deny %u.%u.%u.%u/%u", a, b, c, d, n); break;
          case 2: snprintf(line, sizeof line, "%u.%u.%u.%u", a, b, c, d); break;
          case 3: snprintf(line, sizeof line, "%u.%u.%u.%u - %u.%u.%u.255", a, b, c, d, a, b, c + d % 4); break;
          case 4: snprintf(line, sizeof line, "permit %u.%u.%u.%u 255.255.0.0", a, b, c, d); break;
          case 5: snprintf(line, sizeof line, "%u.%u.%u.%u/%u # note", a, b, c, d, n); break;
          case 6: snprintf(line, sizeof line, "%u.%u.%u.%u/0%u", a, b, c, d, n); break;
          // Numbers the usual shapes do not take: too big, too many digits
          // or too few of them.
          case 7: snprintf(line, sizeof line, "%u.0%u.%u.%u", a, b, c + 200, d); break;
          case 8: snprintf(line, sizeof line, "%u.%u.%u.%u%u/%u", a, b, c, d, a, n); break;
          case 9: snprintf(line, sizeof line, "%u.%u.%u/%u", a, b, c, n); break;
          default: snprintf(line, sizeof line, "- %u.%u.%u.%u", a, b, c, d); break;
        }
      } else {
        n += 32 + d % 64;
        switch (v[5] % 6) {
          case 0: snprintf(line, sizeof line, "2001:db8:%x:%x::/%u", a, b, n); break;
          case 1: snprintf(line, sizeof line, "deny 2001:db8:%x::%x:%x", a, b, c); break;
          case 2: snprintf(line, sizeof line, "2001:db8:%x:%x::%x", a, b, c); break;
          case 3: snprintf(line, sizeof line, "2001:db8::%x:0 - 2001:db8::%x:%x", a, a, b); break;
          case 4: snprintf(line, sizeof line, "2001:db8:%x:%x::/%u x", a, b, n); break;
          default: snprintf(line, sizeof line, "2001:DB8:%x::%x/%u\r", a, b, n); break;
        }
      }
      const char* end = v[0] % 7 ? "\n" : "\r\n";
      list += std::string(line) + end;
      blanked += " " + std::string(line) + end;
    }
    std::vector<std::string> ipv6;
    if (family == 6) ipv6.push_back("--ipv6");
    for (const char* mode : {"-s", "-p"}) {
      SCOPED_TRACE(std::string("IPv") + char('0' + family) + " " + mode);
      std::vector<std::string> args = ipv6;
      args.push_back("-s");
      args.push_back(mode);
      captured plain = run_child({args, list, true});
      captured slow = run_child({args, blanked, true});
      // The first line that differs, not megabytes of both.
      size_t at = 0;
      while (at < slow.out.size() && at < plain.out.size() &&
             slow.out[at] == plain.out[at])
        at++;
      at = slow.out.rfind('\n', at) + 1;  // 0 when there is none
      EXPECT_EQ(slow.out.substr(at, 200), plain.out.substr(at, 200));
      EXPECT_EQ(slow.out.size(), plain.out.size());
      EXPECT_EQ(slow.status, plain.status);
      EXPECT_EQ(0, plain.status);
      EXPECT_GT(count_lines(plain.out), 1000u);
    }
  }
}

TEST(LongLines, TenMegabyteLineInWarning) {
  std::string line = "deny 300.0.0.0/8 " + std::string(size_t(10) << 20, 'x');
  captured c = run_tenvik({}, line + "  # comment\r\npermit 1.2.3.4\n");
  EXPECT_EQ("permit 1.2.3.4 0.0.0.0\ndeny   0.0.0.0 255.255.255.255\n", c.out);
  EXPECT_EQ("WARNING: address out of range, line ignored: " + line + "  \n",
            c.err);
  EXPECT_EQ(0, c.status);
}

// Memory really runs out under an address-space limit, and the program
// says so instead of crashing or printing a partial list. AddressSanitizer
// reserves terabytes of address space, so these only run without it.
class MemoryExhaustion : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef TENVIK_UNDER_ASAN
    GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#endif
  }
};

TEST_F(MemoryExhaustion, HugeRangeRunsOutOfNodes) {
  // Every single address of 10.0.0.1 - 10.255.255.255 goes into the tree
  // when a dump line asks for it: about 33 million nodes, 265 MB; 64 MB is
  // far too little.
  child_run run;
  run.input = "*\npermit 10.0.0.1 - 10.255.255.255\n";
  run.address_space = rlim_t(64) << 20;
  captured c = run_child(run);
  EXPECT_EQ("*  0,NO,00000000 0.0.0.0\n", c.out);
  EXPECT_EQ("No more memory\n", c.err);
  EXPECT_EQ(1, c.status);
}

TEST_F(MemoryExhaustion, HugeRangeWithoutTreeNeedsLittle) {
  // Without dumps or traces the same range is held as one run of blocks,
  // which the optimizer turns into the aligned blocks covering it.
  child_run run;
  run.input = "permit 10.0.0.1 - 10.255.255.255\n";
  run.address_space = rlim_t(64) << 20;
  captured c = run_child(run);
  EXPECT_EQ("", c.err);
  EXPECT_EQ(0, c.status);
  // 10.0.0.0/8 but its first address, which is the lone deny inside it.
  EXPECT_EQ(
      "deny   10.0.0.0 0.0.0.0\npermit 10.0.0.0 0.255.255.255\n"
      "deny   0.0.0.0 255.255.255.255\n",
      c.out);
}

TEST_F(MemoryExhaustion, PositiveExpansionRunsOutOfNodes) {
  // 500,000 scattered /32s need about 70 MB of address space as read into
  // the tree and optimized; the positive expansion adds a sibling to almost
  // every inner node, which takes it to about 120 MB. 95 MB lies between
  // the two. A dump line first makes the run use the tree. (If the first
  // run below fails, the program's memory use has moved: measure both with
  // `ulimit -v` and pick a limit between them again.)
  const std::string dump = "*  0,NO,00000000 0.0.0.0\n";
  child_run run;
  run.input = "*\n" + spread_hosts(500000);
  run.address_space = rlim_t(95) << 20;

  captured plain = run_child(run);
  ASSERT_EQ(0, plain.status) << "the insertions no longer fit: " << plain.err;
  EXPECT_EQ("", plain.err);
  EXPECT_EQ(size_t(500002), count_lines(plain.out));
  EXPECT_EQ(dump, plain.out.substr(0, dump.size()));

  run.args = {"-p"};
  captured positive = run_child(run);
  EXPECT_EQ(dump, positive.out);
  EXPECT_EQ("No more memory\n", positive.err);
  EXPECT_EQ(1, positive.status);
}

TEST_F(MemoryExhaustion, ListWithoutTreeFitsWhereTheTreeWouldNot) {
  // Without dumps or traces the list comes from the held blocks (6 MB
  // here) and never builds the tree, so the same limit is plenty, in
  // positive mode too.
  child_run run;
  run.input = spread_hosts(500000);
  run.args = {"-p", "-f", "%a/%p"};
  captured unlimited = run_child(run);
  run.address_space = rlim_t(95) << 20;
  captured limited = run_child(run);
  EXPECT_EQ("", limited.err);
  EXPECT_EQ(0, limited.status);
  EXPECT_EQ(size_t(500000), count_lines(limited.out));
  EXPECT_TRUE(unlimited.out == limited.out);
}

TEST_F(MemoryExhaustion, OverwritesOfARunNeedLittle) {
  // A range named twice overwrites each of its 300,000 addresses: as many
  // warnings, held back as one until their turn, in 16 MB.
  child_run run;
  run.input =
      "permit 10.0.0.1 - 10.4.147.224\ndeny 10.0.0.1 - 10.4.147.224\n";
  run.address_space = rlim_t(16) << 20;
  captured c = run_child(run);
  EXPECT_EQ(0, c.status);
  EXPECT_EQ("deny   0.0.0.0 255.255.255.255\n", c.out);
  EXPECT_EQ(size_t(300000), count_lines(c.err));
  const std::string first = "WARNING: 10.0.0.1/32 overwritten (+ -> -)\n";
  const std::string last = "WARNING: 10.4.147.224/32 overwritten (+ -> -)\n";
  EXPECT_EQ(first, c.err.substr(0, first.size()));
  ASSERT_LE(last.size(), c.err.size());
  EXPECT_EQ(last, c.err.substr(c.err.size() - last.size()));
}

TEST_F(MemoryExhaustion, LineLongerThanMemory) {
  // A 20 MB line needs a 32 MB line buffer; the limit allows 16 MB.
  child_run run;
  run.input = "permit 10.0.0.0/8\npermit 11.0.0.0/8 " +
              std::string(size_t(20) << 20, 'x') + "\n";
  run.address_space = rlim_t(16) << 20;
  captured c = run_child(run);
  EXPECT_EQ("", c.out);
  EXPECT_EQ("No more memory\n", c.err);
  EXPECT_EQ(1, c.status);
}
