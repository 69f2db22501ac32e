// libFuzzer target over a whole run: bytes in, entries out.
//
// The first bytes choose the options, the rest is the input list:
//
//   byte 0, mode:  bit 0 -i, bit 1 -p, bit 2 -s,
//                  bits 3-4 format: 0 "%m %a %w", 1 "%a/%p", 2-3 from the bytes
//                  bits 5-6 modifier texts: 0 default, 1 a parseable pair,
//                           2-3 from the bytes (split at the first comma)
//                  bit 7 trace, with byte 1 as the -t value
//   byte 1, param: trace flags; its low two bits pick the parseable pair,
//                  bit 3 (a trace bit without effect) --optimal
//   then, when the format comes from the bytes: a length byte (mod 64) and
//   the format; then likewise for the modifier texts.
//
// The list's first line picks the family: IPv6 mode (--ipv6, whose
// default format "%m %a/%p" stands for choice 0) when it holds a ':', so
// that one corpus exercises both.
//
// Every run must end with status 0 (the inputs are kept small enough for
// memory), write exactly the model's warnings (nothing with -s) and no
// entry line over 255 characters. When the output can be parsed (format
// "%m %a %w" or "%a/%p", modifier texts that tell permit from deny, no
// trace but the input trace, which must be the model's), the list must
// mean what the input means: read first-match-wins, every address gets the
// decision of the longest input block containing it (uncovered: deny); in
// positive mode it permits only, over disjoint blocks; without --optimal it
// is exactly the model's reduction. --optimal must mean the same with no
// more entries (and change nothing in positive mode). Neither -s nor the
// step-by-step optimizer of trace bits 16-128 may change the list. A failed
// check prints what it found and aborts.

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "driver.h"
#include "messages.h"
#include "model.h"
#include "settings.h"

namespace {

struct options {
  bool invert = false;
  bool positive = false;
  bool silent = false;
  bool optimal = false;
  bool ipv6 = false;
  int trace = 0;
  std::string permit = "permit";
  std::string deny = "deny  ";
  std::string format = "%m %a %w";
};

struct result {
  std::string out;
  std::string err;
  int status = -1;
};

// Runs the list through the library as a fresh process would after reading
// these options: settings, format check, reading, the closing phases.
result run_once(const std::string& input, const options& o) {
  reset_run();
  settings.opt_invert = o.invert;
  settings.opt_positive = o.positive;
  settings.opt_silent = o.silent;
  settings.opt_optimal = o.optimal;
  settings.family = o.ipv6 ? FAMILY_IPV6 : FAMILY_IPV4;
  settings.trace_flags = o.trace;
  settings.permit_string = o.permit.c_str();
  settings.deny_string = o.deny.c_str();
  settings.format_string = o.format.c_str();
  char* out_text = nullptr;
  char* err_text = nullptr;
  size_t out_size = 0, err_size = 0;
  settings.out_stream = open_memstream(&out_text, &out_size);
  settings.err_stream = open_memstream(&err_text, &err_size);
  if (!settings.out_stream || !settings.err_stream) abort();
  check_format();

  int fd = memfd_create("tenvik-fuzz-input", 0);
  if (fd < 0) abort();
  if (!input.empty() &&
      write(fd, input.data(), input.size()) != ssize_t(input.size()))
    abort();
  lseek(fd, 0, SEEK_SET);
  result r;
  r.status = run_input(fd, "-");
  close(fd);
  fclose(settings.out_stream);
  fclose(settings.err_stream);
  r.out.assign(out_text, out_size);
  r.err.assign(err_text, err_size);
  free(out_text);
  free(err_text);
  reset_run();
  return r;
}

[[noreturn]] void fail(const std::string& what, const std::string& input,
                       const options& o, const result& r) {
  fprintf(stderr,
          "FAILED: %s\noptions: -i %d -p %d -s %d --optimal %d -t %d -m "
          "\"%s,%s\" -f "
          "\"%s\"\ninput (%zu bytes):\n%s\n--- stdout (%zu bytes):\n%.4000s\n"
          "--- stderr:\n%.4000s\n--- status %d\n",
          what.c_str(), o.invert, o.positive, o.silent, o.optimal, o.trace,
          o.permit.c_str(), o.deny.c_str(), o.format.c_str(), input.size(),
          input.c_str(), r.out.size(), r.out.c_str(), r.err.c_str(), r.status);
  abort();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

// Whether some line of the input asks for a tree dump.
bool has_dump_request(const std::string& input) {
  for (size_t i = 0; i < input.size(); i++)
    if (input[i] == '*' && (i == 0 || input[i - 1] == '\n')) return true;
  return false;
}

// The entries of a parseable list printed after tree dumps: what follows
// the last dump line (dump lines begin with a blank or "*").
std::string after_dumps(const std::string& out) {
  size_t start = 0, i = 0;
  while (i < out.size()) {
    size_t nl = out.find('\n', i);
    size_t next = nl == std::string::npos ? out.size() : nl + 1;
    if (out[i] == ' ' || out[i] == '*') start = next;
    i = next;
  }
  return out.substr(start);
}

// What holds for every run, whatever its options.
template <typename M>
void check_common(const std::string& input, const options& o, const result& r) {
  if (r.status != 0) fail("status is not 0", input, o, r);
  std::string warnings;
  if (!o.silent) {
    if (!o.positive && o.format.find("%m") == std::string::npos)
      warnings = MSG_NO_MODIFIER;
    warnings += M::warnings(input, o.invert);
  }
  if (r.err != warnings)
    fail("the warnings differ from the model's:\n" + warnings, input, o, r);
  if (!(o.trace & TRACE_INPUT)) {
    if (!r.out.empty() && r.out.back() != '\n')
      fail("standard output ends inside a line", input, o, r);
    // Dump lines of deep IPv6 trees are longer; only entries are limited.
    for (const std::string& line : lines_of(after_dumps(r.out)))
      if (line.size() > 255) fail("an entry line over 255", input, o, r);
  }
}

// The modifier texts a checked run may use: no text is the other's prefix
// followed by a blank, so every line tells its decision.
const char* const PAIRS[4][2] = {
    {"permit", "deny  "}, {"allow", "block"}, {"+", "-"}, {"PERMIT", "DENY"}};

// The list in a parseable run's output: what follows the input trace,
// which must be the model's, with the lines of tree dumps left out.
template <typename M>
std::string listing_of(const std::string& input, const options& o,
                       const result& r) {
  std::string out = r.out;
  if (o.trace & TRACE_INPUT) {
    std::string trace = M::trace(input, o.invert);
    if (out.compare(0, trace.size(), trace) != 0)
      fail("the input trace differs from the model's:\n" + trace, input, o, r);
    out.erase(0, trace.size());
  }
  return after_dumps(out);
}

template <typename Entry>
bool same_entry(const Entry& a, const Entry& b) {
  return a.permit == b.permit && a.addr == b.addr && a.prefix == b.prefix;
}

// A parseable list must mean what the input means; without --optimal it
// must be exactly the model's reduction.
template <typename M>
void check_meaning(const std::string& input, const options& o,
                   const result& r) {
  std::string listing = listing_of<M>(input, o, r);
  bool prefix_format = o.format == "%a/%p";
  bool positive = o.positive || prefix_format;
  output_kind kind = prefix_format ? output_kind::POSITIVE_PREFIX
                     : positive    ? output_kind::POSITIVE_MODIFIER
                                   : output_kind::MODIFIER;
  std::vector<typename M::entry> entries;
  std::string problem;
  bool parsed =
      M::parse(listing, prefix_format, o.permit, o.deny, &entries, &problem);
  if (!parsed) fail(problem, input, o, r);
  // The order check of a full list compares every pair of entries.
  if (entries.size() <= 3000) {
    problem = M::check(input, o.invert, listing, kind, o.permit, o.deny);
  } else {
    if (positive) problem = check_positive_entries(entries);
    if (problem.empty()) {
      auto d = compare_meanings(M::blocks(input, o.invert), entries);
      if (d.found) problem = "the meaning differs at " + model_text(d.addr);
    }
  }
  if (!problem.empty()) fail(problem, input, o, r);
  if (o.optimal && !positive) return;
  std::vector<typename M::entry> expected =
      model_listing(M::blocks(input, o.invert), positive);
  for (size_t i = 0; i < entries.size() || i < expected.size(); i++) {
    if (i < entries.size() && i < expected.size() &&
        same_entry(entries[i], expected[i]))
      continue;
    std::string want = "the list is not the model's reduction: entry " +
                       std::to_string(i + 1) + " should be ";
    want += i < expected.size()
                ? std::string(expected[i].permit ? "permit " : "deny ") +
                      model_text(expected[i].addr) + "/" +
                      std::to_string(expected[i].prefix)
                : "absent";
    fail(want, input, o, r);
  }
}

// Takes a length byte and that many bytes (fewer at the end of the data).
std::string take_text(const uint8_t*& data, size_t& size) {
  if (size == 0) return "";
  size_t n = data[0] % 64;
  data++;
  size--;
  if (n > size) n = size;
  std::string text(reinterpret_cast<const char*>(data), n);
  data += n;
  size -= n;
  // A command-line argument ends at its first NUL.
  return text.substr(0, text.find('\0'));
}

// Inserting a block and printing a tree dump both cost time: the run is
// skipped when the input names too many blocks for what it would print.
template <typename M>
bool within_budget(const std::string& input, const options& o) {
  uint64_t blocks = M::block_count(input, o.invert);
  uint64_t limit = 1 << 12;
  if (o.trace & (TRACE_ROTATE | TRACE_MERGE | TRACE_REPEATED | TRACE_PRUNE))
    limit = 16;  // a whole dump after every optimizer step
  else if (has_dump_request(input) ||
           (o.trace & (TRACE_RAW_TREE | TRACE_OPTIMIZED_TREE)))
    limit = 512;
  if (blocks > limit) return false;
  if (has_dump_request(input)) {
    size_t stars = 0;
    for (char c : input) stars += c == '*';
    if (stars > 64) return false;
  }
  return true;
}

// Every check of one input under options o, in the family of M.
template <typename M>
void check_run(const std::string& input, const options& o,
               bool parseable_texts) {
  if (!within_budget<M>(input, o)) return;

  result r = run_once(input, o);
  check_common<M>(input, o, r);

  // The input trace is the model's and can be taken off; dumps among it
  // cannot, and the other traces are not modelled here.
  const int other_traces = TRACE_RAW_TREE | TRACE_OPTIMIZED_TREE |
                           TRACE_ROTATE | TRACE_MERGE | TRACE_REPEATED |
                           TRACE_PRUNE;
  bool parseable = parseable_texts && !(o.trace & other_traces) &&
                   !((o.trace & TRACE_INPUT) && has_dump_request(input));
  if (!parseable) return;
  check_meaning<M>(input, o, r);

  // Holding warnings back or not must not change the list.
  options quiet = o;
  quiet.silent = !o.silent;
  result r2 = run_once(input, quiet);
  check_common<M>(input, quiet, r2);
  if (r2.out != r.out) fail("-s changes the list to:\n" + r2.out, input, o, r);

  // The shortest list means the same and is never longer; positive mode
  // ignores --optimal.
  options other = o;
  other.optimal = !o.optimal;
  result r4 = run_once(input, other);
  check_common<M>(input, other, r4);
  check_meaning<M>(input, other, r4);
  const result& shortest = o.optimal ? r : r4;
  const result& usual = o.optimal ? r4 : r;
  bool positive = o.positive || o.format == "%a/%p";
  if (positive && r4.out != r.out)
    fail("--optimal changes a positive list to:\n" + r4.out, input, o, r);
  if (lines_of(listing_of<M>(input, o, shortest)).size() >
      lines_of(listing_of<M>(input, o, usual)).size())
    fail("--optimal gives a longer list:\n" + shortest.out, input, o, usual);

  // The optimizer that runs step by step for its trace must give the same
  // list: it is the end of the traced output.
  if (M::block_count(input, o.invert) <= 16) {
    const result& plain = o.optimal ? r4 : r;
    options steps = o;
    steps.optimal = false;
    steps.trace = TRACE_ROTATE | TRACE_MERGE | TRACE_REPEATED | TRACE_PRUNE;
    result r3 = run_once(input, steps);
    check_common<M>(input, steps, r3);
    if (after_dumps(r3.out) != listing_of<M>(input, o, plain))
      fail("the optimizer trace changes the list to:\n" + after_dumps(r3.out),
           input, o, r);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t mode = size > 0 ? data[0] : 0;
  uint8_t param = size > 1 ? data[1] : 0;
  size_t skip = size < 2 ? size : 2;
  data += skip;
  size -= skip;

  options o;
  o.invert = mode & 1;
  o.positive = mode & 2;
  o.silent = mode & 4;
  int format_choice = (mode >> 3) & 3;
  int texts_choice = (mode >> 5) & 3;
  if (mode & 128) o.trace = param;
  o.optimal = param & 8;
  if (format_choice == 1) o.format = "%a/%p";
  if (format_choice >= 2) o.format = take_text(data, size);
  if (texts_choice == 1) {
    o.permit = PAIRS[param & 3][0];
    o.deny = PAIRS[param & 3][1];
  } else if (texts_choice >= 2) {
    std::string m = take_text(data, size);
    size_t comma = m.find(',');
    if (comma == std::string::npos) return 0;  // the usage text, no run
    o.permit = m.substr(0, comma);
    o.deny = m.substr(comma + 1);
  }
  const std::string input(reinterpret_cast<const char*>(data), size);
  o.ipv6 = input.substr(0, input.find('\n')).find(':') != std::string::npos;
  if (o.ipv6 && format_choice == 0) o.format = "%m %a/%p";
  if (o.ipv6)
    check_run<model_ipv6>(input, o, format_choice <= 1 && texts_choice <= 1);
  else
    check_run<model_ipv4>(input, o, format_choice <= 1 && texts_choice <= 1);
  return 0;
}
