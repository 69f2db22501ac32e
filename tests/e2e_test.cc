// End-to-end cases: every folder under tests/cases is one run of the built
// binary, with the folder as its working directory. A folder holds
//   args             one argument per line (an empty line is an empty
//                    argument); absent: no arguments
//   input            standard input; absent: empty
//   expected         standard output, byte for byte; required, even when
//                    empty, so that a folder that states nothing fails
//   expected_stderr  standard error; absent: must be empty
//   expected_status  exit status in decimal; absent: 0
// and any files the run itself reads. Adding a case is adding a folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_capture.h"

namespace fs = std::filesystem;

namespace {

const char* const KNOWN_FILES[] = {"args", "input", "expected",
                                   "expected_stderr", "expected_status"};

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(TENVIK_CASES_DIR, ec))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool read_file(const fs::path& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

// One argument per line; the newline after the last line is optional.
std::vector<std::string> split_args(const std::string& text) {
  std::vector<std::string> args;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    args.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return args;
}

// Makes control characters, trailing blanks and a missing final newline
// visible: in an access list they are all real differences.
std::string visible(const std::string& line) {
  std::string shown;
  for (unsigned char c : line) {
    if (c == '\t') {
      shown += "\\t";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    } else {
      shown += char(c);
    }
  }
  size_t end = shown.find_last_not_of(' ');
  size_t trailing = shown.size() - (end == std::string::npos ? 0 : end + 1);
  if (trailing > 0)
    shown += "<" + std::to_string(trailing) + " trailing blanks>";
  return shown;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(visible(text.substr(start)) + "<no newline at end>");
      break;
    }
    lines.push_back(visible(text.substr(start, nl - start)));
    start = nl + 1;
  }
  return lines;
}

// A line diff ("-" expected only, "+" actual only) from the longest common
// subsequence, with two lines of context around each change.
std::string line_diff(const std::string& expected, const std::string& actual) {
  std::vector<std::string> a = split_lines(expected), b = split_lines(actual);
  const size_t n = a.size(), m = b.size();
  if (n * m > 4000000) {
    size_t i = 0;
    while (i < n && i < m && a[i] == b[i]) i++;
    return "first difference at line " + std::to_string(i + 1) + "\n-" +
           (i < n ? a[i] : "<end>") + "\n+" + (i < m ? b[i] : "<end>") + "\n";
  }
  std::vector<std::vector<unsigned>> lcs(n + 1, std::vector<unsigned>(m + 1));
  for (size_t i = n; i-- > 0;)
    for (size_t j = m; j-- > 0;)
      lcs[i][j] = a[i] == b[j] ? lcs[i + 1][j + 1] + 1
                               : std::max(lcs[i + 1][j], lcs[i][j + 1]);
  std::vector<std::string> ops;  // each prefixed with ' ', '-' or '+'
  size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && a[i] == b[j]) {
      ops.push_back(" " + a[i++]);
      j++;
    } else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
      ops.push_back("-" + a[i++]);
    } else {
      ops.push_back("+" + b[j++]);
    }
  }
  std::string out;
  const size_t context = 2;
  bool skipped = false;
  for (size_t k = 0; k < ops.size(); k++) {
    bool near = false;
    for (size_t d = (k > context ? k - context : 0);
         d < std::min(ops.size(), k + context + 1); d++)
      if (ops[d][0] != ' ') near = true;
    if (!near) {
      skipped = true;
      continue;
    }
    if (skipped) out += "  ...\n";
    skipped = false;
    out += ops[k] + "\n";
  }
  if (skipped) out += "  ...\n";
  return out;
}

bool parse_status(const std::string& text, int* status) {
  std::string digits = text;
  while (!digits.empty() && isspace(static_cast<unsigned char>(digits.back())))
    digits.pop_back();
  if (digits.empty() || digits.size() > 3) return false;
  for (char c : digits)
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  *status = std::stoi(digits);
  return true;
}

class E2E : public testing::TestWithParam<std::string> {};

TEST_P(E2E, Matches) {
  const fs::path dir = fs::path(TENVIK_CASES_DIR) / GetParam();

  // A misspelt name would silently turn into "expect nothing".
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("expected", 0) == 0 &&
        std::find(std::begin(KNOWN_FILES), std::end(KNOWN_FILES), name) ==
            std::end(KNOWN_FILES))
      ADD_FAILURE() << "unknown expectation file " << name;
  }

  std::string expected_out;
  ASSERT_TRUE(read_file(dir / "expected", &expected_out))
      << dir << " has no `expected` file (standard output; empty if none)";

  std::string text;
  std::vector<std::string> args;
  if (read_file(dir / "args", &text)) args = split_args(text);
  std::string input;
  read_file(dir / "input", &input);
  std::string expected_err;
  read_file(dir / "expected_stderr", &expected_err);
  int expected_status = 0;
  if (read_file(dir / "expected_status", &text)) {
    ASSERT_TRUE(parse_status(text, &expected_status))
        << "expected_status is not a decimal number: " << visible(text);
  }

  captured run = run_tenvik(args, input, dir.string());

  // getopt names the program by argv[0], the path of this build's binary;
  // the cases call it by its plain name.
  const std::string binary = std::string(TENVIK_BINARY) + ":";
  for (size_t at; (at = run.err.find(binary)) != std::string::npos;)
    run.err.replace(at, binary.size(), "tenvik:");

  EXPECT_EQ(expected_status, run.status) << "exit status differs";
  EXPECT_TRUE(expected_out == run.out)
      << "standard output differs (-expected +actual):\n"
      << line_diff(expected_out, run.out);
  EXPECT_TRUE(expected_err == run.err)
      << "standard error differs (-expected +actual):\n"
      << line_diff(expected_err, run.err);
}

std::string test_name(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, E2E, testing::ValuesIn(case_names()),
                         test_name);

TEST(E2ECases, FolderHoldsCases) {
  EXPECT_TRUE(fs::is_directory(TENVIK_CASES_DIR)) << TENVIK_CASES_DIR;
  EXPECT_FALSE(case_names().empty())
      << "no case folders in " << TENVIK_CASES_DIR;
}

}  // namespace
