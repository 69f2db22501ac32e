// The documentation is checked against the program, so that it cannot
// drift: every example list against its stored output, every command shown
// in the README and in the manual's EXAMPLES against the output printed
// below it, the manual's options and messages against the usage text and
// the message table, and the install rule against a real install.

#include <ctype.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "messages.h"
#include "run_capture.h"

namespace fs = std::filesystem;

namespace {

const std::string SOURCE_DIR = TENVIK_SOURCE_DIR;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// A scratch directory, removed with everything in it at the end of scope.
class scratch_dir {
 public:
  scratch_dir() {
    char name[] = "/tmp/tenvik-docs-XXXXXX";
    if (!mkdtemp(name)) abort();
    path_ = name;
  }
  ~scratch_dir() {
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
          return ::remove(p);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs argv[0] (a path) with the given arguments, standard input from
// /dev/null, in `cwd`, with these variables added to the environment.
captured run_program(const std::vector<std::string>& argv,
                     const std::string& cwd,
                     const std::vector<std::string>& env = {}) {
  scratch_dir dir;
  const std::string out_path = dir.path() + "/out";
  const std::string err_path = dir.path() + "/err";
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "r", stdin) ||
        !freopen(out_path.c_str(), "w", stdout) ||
        !freopen(err_path.c_str(), "w", stderr))
      _exit(126);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  captured result;
  result.status =
      WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

// Finds a program on PATH (or on `path`); empty when there is none.
std::string find_program(const std::string& name, const char* path = nullptr) {
  if (!path) path = getenv("PATH");
  std::istringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// ---------------------------------------------------------------------------
// Example lists: examples/NAME.txt with NAME.expected (standard output) and,
// where it warns, NAME.expected_stderr; --strict must change neither. Each list also runs in IPv6 mode,
// against NAME.v6.expected (and NAME.v6.expected_stderr); a list without
// them has no IPv6 line, so it must print the IPv6 catch-all alone and no
// warning, IPv6 mode passing over IPv4 lines without a word.

struct example_mode {
  std::string suffix;  // of the stored outputs' names
  std::vector<std::string> options;
  std::string without_stored_output;  // what a list without them prints
};

const example_mode EXAMPLE_MODES[] = {
    {"", {}, ""},
    {".v6", {"--ipv6"}, "deny   ::/0\n"},
};

std::vector<std::string> example_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(SOURCE_DIR + "/examples"))
    if (entry.path().extension() == ".txt")
      names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ExampleList
    : public testing::TestWithParam<std::tuple<std::string, size_t>> {};

TEST_P(ExampleList, PrintsItsStoredOutput) {
  const fs::path dir = SOURCE_DIR + "/examples";
  const std::string name = std::get<0>(GetParam());
  const example_mode& mode = EXAMPLE_MODES[std::get<1>(GetParam())];
  const fs::path out_file = dir / (name + mode.suffix + ".expected");
  const fs::path err_file = dir / (name + mode.suffix + ".expected_stderr");
  if (mode.suffix.empty()) {
    ASSERT_TRUE(fs::exists(out_file))
        << "examples/" << name << ".txt has no stored output";
  }
  std::vector<std::string> args = mode.options;
  args.push_back("examples/" + name + ".txt");
  captured run = run_tenvik(args, "", SOURCE_DIR);
  EXPECT_EQ(
      fs::exists(out_file) ? read_file(out_file) : mode.without_stored_output,
      run.out);
  EXPECT_EQ(fs::exists(err_file) ? read_file(err_file) : "", run.err);
  EXPECT_EQ(0, run.status);

  // The examples are written to be read as written.
  args.insert(args.begin(), "--strict");
  captured strict = run_tenvik(args, "", SOURCE_DIR);
  EXPECT_EQ(run.out, strict.out) << "--strict";
  EXPECT_EQ(run.err, strict.err) << "--strict";
  EXPECT_EQ(0, strict.status) << "--strict";
}

INSTANTIATE_TEST_SUITE_P(
    Docs, ExampleList,
    testing::Combine(testing::ValuesIn(example_names()),
                     testing::Range(size_t(0), std::size(EXAMPLE_MODES))),
    [](const testing::TestParamInfo<ExampleList::ParamType>& info) {
      std::string name = std::get<0>(info.param) +
                         EXAMPLE_MODES[std::get<1>(info.param)].suffix;
      for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(Docs, EveryStoredOutputBelongsToAnExampleList) {
  std::set<std::string> lists;
  for (const std::string& name : example_names()) lists.insert(name);
  for (const auto& entry : fs::directory_iterator(SOURCE_DIR + "/examples")) {
    std::string file = entry.path().filename().string();
    for (const std::string suffix : {".expected", ".expected_stderr"}) {
      if (file.size() > suffix.size() &&
          file.compare(file.size() - suffix.size(), suffix.size(), suffix) ==
              0) {
        std::string name = file.substr(0, file.size() - suffix.size());
        for (const example_mode& mode : EXAMPLE_MODES)
          if (!mode.suffix.empty() && name.size() > mode.suffix.size() &&
              name.compare(name.size() - mode.suffix.size(), mode.suffix.size(),
                           mode.suffix) == 0)
            name.resize(name.size() - mode.suffix.size());
        EXPECT_TRUE(lists.count(name))
            << "examples/" << file << " has no list beside it";
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Shown commands. A command is a line "$ COMMAND" in a console block; the
// lines after it, up to the next command or the end of the block, are its
// exact standard output. It runs under sh in a directory where examples/ is
// the source tree's and both `tenvik` and `./build/tenvik` are the built
// program, and must write nothing on standard error and exit with 0.

struct shown_command {
  std::string command;
  std::string expected;
};

std::vector<shown_command> parse_session(
    const std::vector<std::string>& block) {
  std::vector<shown_command> commands;
  for (const std::string& line : block) {
    if (starts_with(line, "$ ")) {
      commands.push_back({line.substr(2), ""});
    } else if (!commands.empty()) {
      commands.back().expected += line + "\n";
    }
  }
  return commands;
}

class command_sandbox {
 public:
  command_sandbox() {
    fs::create_directory(dir_.path() + "/build");
    fs::create_symlink(TENVIK_BINARY, dir_.path() + "/build/tenvik");
    fs::create_directory_symlink(SOURCE_DIR + "/examples",
                                 dir_.path() + "/examples");
    const char* path = getenv("PATH");
    path_ = "PATH=" + dir_.path() + "/build:" + (path ? path : "/usr/bin:/bin");
  }
  captured run(const std::string& command) const {
    return run_program({"/bin/sh", "-c", command}, dir_.path(), {path_});
  }

 private:
  scratch_dir dir_;
  std::string path_;
};

void expect_commands_hold(const std::vector<shown_command>& commands,
                          const std::string& where) {
  command_sandbox sandbox;
  for (const shown_command& c : commands) {
    captured run = sandbox.run(c.command);
    EXPECT_EQ(c.expected, run.out) << where << ": $ " << c.command;
    EXPECT_EQ("", run.err) << where << ": $ " << c.command;
    EXPECT_EQ(0, run.status) << where << ": $ " << c.command;
  }
}

// The README's fenced blocks, with their info strings.
struct fenced_block {
  std::string info;
  std::vector<std::string> lines;
};

std::vector<fenced_block> fenced_blocks(const std::vector<std::string>& lines,
                                        std::vector<std::string>* outside) {
  std::vector<fenced_block> blocks;
  bool inside = false;
  for (const std::string& line : lines) {
    if (starts_with(line, "```")) {
      if (!inside) blocks.push_back({line.substr(3), {}});
      inside = !inside;
    } else if (inside) {
      blocks.back().lines.push_back(line);
    } else {
      outside->push_back(line);
    }
  }
  EXPECT_FALSE(inside) << "README.md: a fenced block is never closed";
  return blocks;
}

// The README's commands, from its console blocks; the lines outside fenced
// blocks go to `outside`.
std::vector<shown_command> readme_commands(std::vector<std::string>* outside) {
  std::vector<shown_command> commands;
  for (const fenced_block& block : fenced_blocks(
           split_lines(read_file(SOURCE_DIR + "/README.md")), outside)) {
    if (block.info != "console") continue;
    for (const shown_command& c : parse_session(block.lines))
      commands.push_back(c);
  }
  return commands;
}

TEST(Docs, ReadmeCommandsPrintWhatTheReadmeShows) {
  std::vector<std::string> outside;
  std::vector<shown_command> commands = readme_commands(&outside);
  ASSERT_GE(commands.size(), 5u) << "README.md lost its console blocks";
  expect_commands_hold(commands, "README.md");

  // A command in any other code (indented blocks, other fences) is not run,
  // so it may only end in a command that a console block shows.
  std::set<std::string> shown;
  for (const shown_command& c : commands) shown.insert(c.command);
  const std::regex invocation(R"((^|[\s/|;&(])tenvik\s)");
  bool after_blank = true;
  for (const std::string& line : outside) {
    bool code = starts_with(line, "    ") && after_blank;
    after_blank = line.empty() || code;
    if (!code || !std::regex_search(line, invocation)) continue;
    std::string tail = line.substr(line.find_first_not_of(' '));
    size_t chained = tail.rfind("&& ");
    if (chained != std::string::npos) tail = tail.substr(chained + 3);
    EXPECT_TRUE(shown.count(tail))
        << "README.md shows a command whose output no test checks: " << line;
  }
}

// Recipes that a firewall or a routing daemon reads are given to it: a
// recipe it would refuse fails here. Each is named by a piece of the
// README command that makes it; the check is a sh command run where the
// file `recipe` holds the output the README shows, in the surroundings the
// README describes. Without the program the check cannot run; CI installs
// them all and sets TENVIK_REQUIRE_RECIPE_READERS so that it always does.
struct recipe_reader {
  std::string command;
  std::string program;
  std::string check;
};

const recipe_reader RECIPE_READERS[] = {
    {"-A OFFICE_IN ", "iptables-restore", "iptables-restore --test recipe"},
    {"-A OFFICE6_IN ", "ip6tables-restore", "ip6tables-restore --test recipe"},
    {"add element inet filter country {", "nft",
     "{ echo 'table inet filter { set country { type ipv4_addr; flags "
     "interval; }; }'; cat recipe; } >nft.conf && nft -c -f nft.conf"},
    {"add element inet filter country6 {", "nft",
     "{ echo 'table inet filter { set country6 { type ipv6_addr; flags "
     "interval; }; }'; cat recipe; } >nft.conf && nft -c -f nft.conf"},
    {"define COUNTRY6 = [", "bird",
     "{ echo 'protocol device {}'; cat recipe; echo 'filter country6_in "
     "{ if net ~ COUNTRY6 then accept; reject; }'; } >bird.conf && "
     "bird -p -c bird.conf"},
};

TEST(Docs, ReadmeRecipesPassTheirReaders) {
  std::vector<std::string> outside;
  const std::vector<shown_command> commands = readme_commands(&outside);
  const char* path = getenv("PATH");
  const std::string search =
      std::string(path ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
  std::vector<std::string> missing;
  for (const recipe_reader& reader : RECIPE_READERS) {
    std::vector<const shown_command*> found;
    for (const shown_command& c : commands)
      if (c.command.find(reader.command) != std::string::npos)
        found.push_back(&c);
    ASSERT_EQ(1u, found.size())
        << "README.md: not one command with " << reader.command;
    if (find_program(reader.program, search.c_str()).empty()) {
      missing.push_back(reader.program);
      continue;
    }
    // The recipe as shown is taken; with its first prefix length made
    // impossible it is refused, so the check does read it.
    const std::string& recipe = found[0]->expected;
    const std::string broken =
        std::regex_replace(recipe, std::regex(R"(/[0-9]+)"), "/129",
                           std::regex_constants::format_first_only);
    ASSERT_NE(recipe, broken) << reader.command;
    for (const std::string* text : {&recipe, &broken}) {
      scratch_dir dir;
      std::ofstream(dir.path() + "/recipe") << *text;
      captured run = run_program({"/bin/sh", "-c", reader.check}, dir.path(),
                                 {"PATH=" + search});
      if (text == &recipe)
        EXPECT_EQ(0, run.status) << reader.check << "\n"
                                 << run.out << run.err << *text;
      else
        EXPECT_NE(0, run.status) << reader.check << " took\n" << *text;
    }
  }
  if (!missing.empty()) {
    std::string names;
    for (const std::string& m : missing) names += " " + m;
    if (getenv("TENVIK_REQUIRE_RECIPE_READERS"))
      FAIL() << "missing:" << names
             << " (apt-get install iptables nftables bird2)";
    GTEST_SKIP() << "not installed:" << names;
  }
}

// The manual's text with its escapes resolved and font changes dropped: the
// few escapes the manual uses, not roff at large.
std::string roff_text(const std::string& line) {
  std::string text;
  for (size_t i = 0; i < line.size(); i++) {
    if (line[i] != '\\' || i + 1 == line.size()) {
      text += line[i];
      continue;
    }
    char c = line[++i];
    if (c == '-') {
      text += '-';
    } else if (c == 'e') {
      text += '\\';
    } else if (c == '&') {
    } else if (c == 'f') {
      i++;  // the font letter
    } else if (c == '(' && i + 2 < line.size()) {
      std::string name = line.substr(i + 1, 2);
      i += 2;
      text += name == "aq" ? "'" : name == "dq" ? "\"" : "?";
    } else {
      text += c;
    }
  }
  return text;
}

// A macro line's arguments as printed: quoted arguments keep their blanks,
// and the alternating-font macros (.BI, .IR, ...) join their arguments
// without blanks.
std::string macro_text(const std::string& line) {
  std::vector<std::string> args;
  size_t i = line.find(' ');
  const std::string macro = line.substr(1, i == std::string::npos ? i : i - 1);
  while (i != std::string::npos && i < line.size()) {
    while (i < line.size() && line[i] == ' ') i++;
    if (i >= line.size()) break;
    std::string arg;
    if (line[i] == '"') {
      for (i++; i < line.size() && line[i] != '"'; i++) arg += line[i];
      i++;
    } else {
      for (; i < line.size() && line[i] != ' '; i++) arg += line[i];
    }
    args.push_back(roff_text(arg));
  }
  std::string text;
  const bool alternating = macro.size() == 2;
  for (size_t k = 0; k < args.size(); k++)
    text += (k && !alternating ? " " : "") + args[k];
  return text;
}

std::vector<std::string> man_lines() {
  return split_lines(read_file(SOURCE_DIR + "/doc/tenvik.1"));
}

// The lines under one .SH heading of the manual, up to the next.
std::vector<std::string> man_under(const std::string& name) {
  std::vector<std::string> lines;
  bool inside = false;
  for (const std::string& line : man_lines()) {
    if (starts_with(line, ".SH ")) {
      std::string heading = line.substr(4);
      heading.erase(std::remove(heading.begin(), heading.end(), '"'),
                    heading.end());
      inside = heading == name;
    } else if (inside) {
      lines.push_back(line);
    }
  }
  EXPECT_FALSE(lines.empty()) << "the manual has no heading " << name;
  return lines;
}

TEST(Docs, ManualExamplesPrintWhatTheManualShows) {
  std::vector<shown_command> commands;
  std::vector<std::string> block;
  bool inside = false;
  for (const std::string& line : man_under("EXAMPLES")) {
    if (line == ".EX") {
      inside = true;
      block.clear();
    } else if (line == ".EE") {
      inside = false;
      for (const shown_command& c : parse_session(block)) commands.push_back(c);
    } else if (inside) {
      block.push_back(roff_text(line));
    }
  }
  ASSERT_GE(commands.size(), 3u) << "the manual lost its EXAMPLES";
  expect_commands_hold(commands, "tenvik.1");
}

// ---------------------------------------------------------------------------
// The manual against the program's own texts.

TEST(Docs, ManualAndUsageNameTheSameShortOptions) {
  captured usage = run_tenvik({"-h"}, "");
  ASSERT_EQ(1, usage.status);
  std::set<char> in_usage;
  const std::regex usage_option(R"(^-([a-zA-Z])\b)");
  for (const std::string& line : split_lines(usage.out)) {
    std::smatch m;
    if (std::regex_search(line, m, usage_option))
      in_usage.insert(m[1].str()[0]);
  }
  ASSERT_FALSE(in_usage.empty()) << usage.out;

  // Each option is the tag of a .TP paragraph: ".B \-x" or ".BI \-x arg".
  std::set<char> in_manual;
  const std::regex manual_option(R"(^\.BI? \\-([a-zA-Z])\b)");
  for (const std::string& line : man_under("OPTIONS")) {
    std::smatch m;
    if (std::regex_search(line, m, manual_option))
      in_manual.insert(m[1].str()[0]);
  }
  EXPECT_EQ(in_usage, in_manual);
}

// Long options are not in the usage text, so the program itself is asked:
// it accepts each one the manual describes, and the manual describes each
// one that --help lists.
struct long_option_run {
  std::string name;
  std::vector<std::string> args;
  std::string out;
};

// What an empty list prints with these options; with the others, the
// IPv4 catch-all.
const long_option_run LONG_OPTION_RUNS[] = {
    {"ipv6", {"--ipv6"}, "deny   ::/0\n"},
    {"seq", {"--seq=10,10", "-f", "%n %m %a/%p"}, "10 deny   0.0.0.0/0\n"},
    {"help", {"--help"}, USAGE_TEXT LONG_OPTIONS_TEXT},
    {"version", {"--version"}, VERSION_LINE},
};

TEST(Docs, ProgramAcceptsEveryLongOptionOfTheManual) {
  std::set<std::string> long_options;
  const std::regex manual_option(R"(^\.BI? \\-\\-([a-z](?:[a-z0-9]|\\-)*))");
  for (const std::string& line : man_under("OPTIONS")) {
    std::smatch m;
    if (std::regex_search(line, m, manual_option))
      long_options.insert(roff_text(m[1]));
  }
  ASSERT_FALSE(long_options.empty());
  for (const std::string& name : long_options) {
    long_option_run expected{
        name, {"--" + name}, "deny   0.0.0.0 255.255.255.255\n"};
    for (const long_option_run& r : LONG_OPTION_RUNS)
      if (r.name == name) expected = r;
    captured run = run_tenvik(expected.args, "");
    EXPECT_EQ(expected.out, run.out) << "--" << name;
    EXPECT_EQ("", run.err) << "--" << name;
    EXPECT_EQ(0, run.status) << "--" << name;
  }

  captured help = run_tenvik({"--help"}, "");
  const std::regex help_option(R"(^--([a-z][a-z0-9-]*))");
  size_t listed = 0;
  for (const std::string& line : split_lines(help.out)) {
    std::smatch m;
    if (!std::regex_search(line, m, help_option)) continue;
    listed++;
    EXPECT_TRUE(long_options.count(m[1].str()))
        << "the manual has no OPTIONS entry for --" << m[1];
  }
  EXPECT_GT(listed, 0u) << help.out;
}

// Message formats from messages.h, by name, as the program prints them.
std::vector<std::pair<std::string, std::string>> message_formats() {
  const std::string header = read_file(SOURCE_DIR + "/src/messages.h");
  const std::regex define(
      R"re(#define\s+(MSG_\w+)\s*\\?\s*((?:"(?:[^"\\]|\\.)*"\s*)+))re");
  const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  std::vector<std::pair<std::string, std::string>> formats;
  for (std::sregex_iterator it(header.begin(), header.end(), define), end;
       it != end; ++it) {
    std::string body = (*it)[2], text;
    for (std::sregex_iterator l(body.begin(), body.end(), literal); l != end;
         ++l) {
      std::string piece = (*l)[1];
      for (size_t i = 0; i < piece.size(); i++) {
        if (piece[i] == '\\' && i + 1 < piece.size()) {
          char c = piece[++i];
          text += c == 'n' ? '\n' : c;
        } else {
          text += piece[i];
        }
      }
    }
    formats.push_back({(*it)[1], text});
  }
  return formats;
}

TEST(Docs, ManualDiagnosticsQuoteEveryMessage) {
  // IPv6 mode's messages are headings of its own section.
  std::vector<std::string> headings;
  for (const char* section : {"DIAGNOSTICS", "IPV6 MODE"})
    for (const std::string& line : man_under(section))
      if (starts_with(line, ".B")) headings.push_back(macro_text(line));

  auto formats = message_formats();
  ASSERT_GE(formats.size(), 11u) << "messages.h was not understood";
  // The literal pieces of a message, in order, around its conversions; a
  // dotted quad of four numbers is one placeholder in the manual.
  const std::regex quad(R"(%l?u\.%l?u\.%l?u\.%l?u)");
  const std::regex conversion(R"(%[-+ #0-9.]*(hh|h|ll|l)?[a-zA-Z])");
  for (const auto& [name, format] : formats) {
    std::string f = std::regex_replace(format, quad, "%s");
    if (!f.empty() && f.back() == '\n') f.pop_back();
    std::vector<std::string> pieces;
    size_t from = 0;
    for (std::sregex_iterator it(f.begin(), f.end(), conversion), end;
         it != end; ++it) {
      pieces.push_back(f.substr(from, size_t(it->position()) - from));
      from = size_t(it->position() + it->length());
    }
    pieces.push_back(f.substr(from));
    bool found = false;
    for (const std::string& h : headings) {
      if (!starts_with(h, pieces.front())) continue;
      size_t at = pieces.front().size();
      bool in_order = true;
      for (size_t k = 1; k < pieces.size() && in_order; k++) {
        size_t next = h.find(pieces[k], at);
        in_order = next != std::string::npos;
        if (in_order) at = next + pieces[k].size();
      }
      const std::string& last = pieces.back();
      if (in_order && h.size() >= last.size() &&
          h.compare(h.size() - last.size(), last.size(), last) == 0)
        found = true;
    }
    EXPECT_TRUE(found) << name << " (\"" << f
                       << "\") is not a heading of the manual's DIAGNOSTICS"
                       << " or IPV6 MODE";
  }
}

// The manual renders cleanly. Without groff and man the check cannot run;
// CI installs them and sets TENVIK_REQUIRE_MAN_TOOLS so that it always does.
TEST(Docs, ManualRendersWithoutWarnings) {
  const std::string groff = find_program("groff");
  const std::string man = find_program("man");
  if (groff.empty() || man.empty()) {
    if (getenv("TENVIK_REQUIRE_MAN_TOOLS"))
      FAIL()
          << "groff and man are required (apt-get install groff-base man-db)";
    GTEST_SKIP() << "groff or man is not installed";
  }
  captured strict =
      run_program({groff, "-man", "-Tutf8", "-ww", "doc/tenvik.1"}, SOURCE_DIR);
  EXPECT_EQ("", strict.err);
  EXPECT_EQ(0, strict.status);

  captured page =
      run_program({man, "-l", "doc/tenvik.1"}, SOURCE_DIR,
                  {"MANPAGER=cat", "PAGER=cat", "MANWIDTH=80", "LC_ALL=C"});
  EXPECT_EQ("", page.err);
  EXPECT_EQ(0, page.status);
  EXPECT_NE(std::string::npos, page.out.find("turn a list of permitted"))
      << page.out;
}

// ---------------------------------------------------------------------------

TEST(Docs, InstallPutsTheProgramAndTheManualUnderThePrefix) {
  scratch_dir prefix;
  captured install = run_program({TENVIK_CMAKE_COMMAND, "--install",
                                  TENVIK_BUILD_DIR, "--prefix", prefix.path()},
                                 SOURCE_DIR);
  ASSERT_EQ(0, install.status) << install.out << install.err;

  const std::string program = prefix.path() + "/bin/tenvik";
  ASSERT_EQ(0, access(program.c_str(), X_OK)) << program;
  captured usage = run_program({program, "-h"}, prefix.path());
  EXPECT_EQ(IDENT_LINE USAGE_TEXT, usage.out);
  EXPECT_EQ(1, usage.status);

  const fs::path page = prefix.path() + "/share/man/man1/tenvik.1";
  ASSERT_TRUE(fs::exists(page)) << page;
  EXPECT_EQ(read_file(SOURCE_DIR + "/doc/tenvik.1"), read_file(page));
}

}  // namespace
