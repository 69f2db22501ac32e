#include "model.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

namespace {

// The default locale's white space; written out so that bytes above 127
// never reach the <cctype> functions.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

template <typename Addr>
constexpr int bits_of = int(sizeof(Addr) * 8);

template <typename Addr>
Addr netmask(int prefix) {
  return prefix == 0 ? Addr(0) : Addr(~Addr(0) << (bits_of<Addr> - prefix));
}

// The distance from one block of this length to the next; 0 for the whole
// space, whose size does not fit the address type.
template <typename Addr>
Addr block_step(int prefix) {
  return prefix == 0 ? Addr(0) : Addr(Addr(1) << (bits_of<Addr> - prefix));
}

std::string text_of(uint32_t addr) { return model_dotted(addr); }
std::string text_of(model_u128 addr) { return model_canonical(addr); }

// Lower-case hexadecimal, all digits of the address width.
template <typename Addr>
std::string hex_of(Addr addr) {
  std::string hex;
  for (int shift = bits_of<Addr> - 4; shift >= 0; shift -= 4)
    hex += "0123456789abcdef"[int(addr >> shift & 15)];
  return hex;
}

// A number as a scanf conversion read it: sign and magnitude, the
// magnitude saturating instead of wrapping.
struct number {
  bool negative = false;
  uint64_t magnitude = 0;
};

// Matches `text` against a pattern made of %n (one number: optional white
// space, optional sign, at least one digit), blanks (any run of white
// space, also none) and literal characters. Text after the pattern is
// ignored. True when every conversion of the pattern was made.
bool match(const char* pattern, const std::string& text,
           std::vector<number>* values) {
  values->clear();
  size_t i = 0;
  for (const char* p = pattern; *p; ++p) {
    if (*p == ' ') {
      while (i < text.size() && is_space(text[i])) ++i;
    } else if (*p == '%') {
      ++p;  // the 'n'
      while (i < text.size() && is_space(text[i])) ++i;
      number v;
      if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        v.negative = text[i] == '-';
        ++i;
      }
      if (i >= text.size() || !is_digit(text[i])) return false;
      for (; i < text.size() && is_digit(text[i]); ++i) {
        uint64_t digit = uint64_t(text[i] - '0');
        if (v.magnitude > (UINT64_MAX - digit) / 10)
          v.magnitude = UINT64_MAX;
        else
          v.magnitude = v.magnitude * 10 + digit;
      }
      values->push_back(v);
    } else {
      if (i >= text.size() || text[i] != *p) return false;
      ++i;
    }
  }
  return true;
}

bool is_octet(const number& v) { return v.magnitude <= 255; }

// The address of four numbers starting at values[first], or false when
// one of them is above 255 or below 0 (-0 is 0).
bool quad(const std::vector<number>& values, size_t first, uint32_t* addr) {
  uint32_t a = 0;
  for (size_t k = first; k < first + 4; ++k) {
    if (!is_octet(values[k])) return false;
    if (values[k].negative && values[k].magnitude != 0) return false;
    a = (a << 8) | uint32_t(values[k].magnitude);
  }
  *addr = a;
  return true;
}

int auto_prefix(uint32_t a) {
  if (a < 0x80000000u && (a & 0xffffffu) == 0) return 8;
  if (a < 0xc0000000u && (a & 0xffffu) == 0) return 16;
  if ((a & 0xffu) != 0) return 32;
  if (a >= 0xe0000000u) return 32;
  return 24;
}

// Insertions of blocks of length `prefix` at start, start + size, ...
// while not above end (the addresses as passed to the insertion; only
// their top `prefix` bits name the block). Empty when end is below start.
template <typename Addr>
struct insertion_run {
  Addr start = 0;
  Addr end = 0;
  int prefix = 0;
};

template <typename Addr, typename Visit>
void for_each_block(const insertion_run<Addr>& r, Visit visit) {
  if (r.end < r.start) return;
  const Addr step = block_step<Addr>(r.prefix);
  for (Addr b = r.start;; b += step) {
    visit(b);
    // Stop before the next start passes the end or wraps past the top.
    if (step == 0 || r.end - b < step) return;
  }
}

uint64_t saturated_sum(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// What one input line inserts, in order.
template <typename Addr>
struct line_insertions {
  bool permit = false;
  std::vector<insertion_run<Addr>> runs;
  std::string warnings;  // written before the insertions (or instead)
  std::string trace;     // the line's input-parsing trace

  void insert(Addr start, Addr end, int prefix) {
    runs.push_back({start, end, prefix});
  }
  uint64_t count() const {
    uint64_t total = 0;
    for (const insertion_run<Addr>& r : runs) {
      if (r.end < r.start) continue;
      Addr step = block_step<Addr>(r.prefix);
      Addr steps = step == 0 ? Addr(0) : Addr((r.end - r.start) / step);
      total = saturated_sum(
          total, steps >= Addr(UINT64_MAX) ? UINT64_MAX : uint64_t(steps) + 1);
    }
    return total;
  }
};

// A prefix length as the warnings print it.
std::string decimal(const number& v) {
  uint64_t m = std::min<uint64_t>(v.magnitude, INT64_MAX);
  return (v.negative && m != 0 ? "-" : "") + std::to_string(m);
}

// The mask numbers of a line, each within 0 to 255 by then.
std::string mask_text(const std::vector<number>& v) {
  uint32_t m = 0;
  quad(v, 4, &m);
  return model_dotted(m);
}

// Cuts a line to the text that is read: before a NUL byte and before the
// first "#". False when nothing is read: the text is empty or asks for a
// dump.
bool line_text(std::string* line) {
  if (!line->empty() && line->back() == '\r') line->pop_back();
  size_t nul = line->find('\0');
  if (nul != std::string::npos) line->resize(nul);
  size_t hash = line->find('#');
  if (hash != std::string::npos) line->resize(hash);
  return !line->empty() && (*line)[0] != '*';
}

size_t skip_space(const std::string& s, size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

bool is_permit_modifier(char m) {
  return m == 'P' || m == 'p' || m == 'Y' || m == 'y' || m == '+';
}

// The length of a prefix line, limited to the address width, with its
// warnings; -1 when the line is ignored.
int prefix_length(const number& v, int bits, std::string* warnings) {
  if (v.negative && v.magnitude != 0) {
    *warnings =
        "WARNING: prefix /" + decimal(v) + " is negative, line ignored\n";
    return -1;
  }
  if (v.magnitude > uint64_t(bits)) {
    *warnings = "WARNING: prefix /" + decimal(v) + " greater than " +
                std::to_string(bits) + "\n";
    return bits;
  }
  return int(v.magnitude);
}

// A mask whose top bit is clear is wildcard bits, else a netmask; its
// length is the run of leading ones of the netmask. `contiguous` tells
// whether only zeros follow that run.
template <typename Addr>
int mask_length(Addr mask, bool* contiguous) {
  const int bits = bits_of<Addr>;
  Addr n = (mask >> (bits - 1)) ? mask : Addr(~mask);
  int prefix = 0;
  while (prefix < bits && (n >> (bits - 1 - prefix) & 1)) ++prefix;
  *contiguous = n == netmask<Addr>(prefix);
  return prefix;
}

// Decides one IPv4 line (split at its newline). False when it inserts
// nothing; `out->warnings` may still hold the warning of an ignored line.
bool read_line4(std::string line, bool invert, line_insertions<uint32_t>* out) {
  if (!line_text(&line)) return false;
  const std::string out_of_range =
      "WARNING: address out of range, line ignored: " + line + "\n";

  size_t i = skip_space(line, 0);
  if (i == line.size()) return false;
  bool permit = true;
  if (!is_digit(line[i])) {
    permit = is_permit_modifier(line[i]);
    while (i < line.size() && !is_digit(line[i])) ++i;
    if (i == line.size()) return false;
  }
  if (invert) permit = !permit;
  out->permit = permit;
  // A line that matches no notation, or is ignored, leaves only its sign.
  out->trace = permit ? "+  " : "-  ";
  const std::string text = line.substr(i);

  std::vector<number> v;
  uint32_t addr = 0;
  if (match("%n.%n.%n.%n/%n", text, &v)) {
    if (!quad(v, 0, &addr)) {
      out->warnings = out_of_range;
      return false;
    }
    int prefix = prefix_length(v[4], 32, &out->warnings);
    if (prefix < 0) return false;
    out->insert(addr, addr, prefix);
    out->trace += "address/prefix " + model_dotted(addr) + "/" +
                  std::to_string(prefix) + "\n";
    return true;
  }
  if (match("%n.%n.%n.%n - %n.%n.%n.%n", text, &v)) {
    uint32_t end = 0;
    if (!quad(v, 0, &addr) || !quad(v, 4, &end)) {
      out->warnings = out_of_range;
      return false;
    }
    int prefix = auto_prefix(end);
    uint32_t d = end ^ addr;
    // Every one bit of start also set in end: then, and only then, end
    // minus start (not wrapped) equals d.
    if ((d & 1) && (addr & ~end) == 0) {
      int ones = 0;
      while (ones < 32 && (d >> ones & 1)) ++ones;
      prefix = 32 - ones;
    }
    out->insert(addr, end, prefix);
    char size[16];
    snprintf(size, sizeof size, "%.8x", block_step<uint32_t>(prefix));
    out->trace += "range " + model_dotted(addr) + " - " + model_dotted(end) +
                  " by 0x" + size + "\n";
    return true;
  }
  if (match("%n.%n.%n.%n %n.%n.%n.%n", text, &v)) {
    uint32_t mask = 0;
    if (!quad(v, 0, &addr) || !quad(v, 4, &mask)) {
      out->warnings = out_of_range;
      return false;
    }
    bool contiguous = false;
    int prefix = mask_length(mask, &contiguous);
    if (!contiguous)
      out->warnings = "WARNING: invalid mask: " + mask_text(v) + "\n";
    if (prefix == 32 && addr == 0) {
      prefix = 0;
      out->warnings =
          "WARNING: mask " + mask_text(v) + " treated as 0 significant bits\n";
    }
    out->insert(addr, addr, prefix);
    out->trace += "address " + model_dotted(addr) + " mask " +
                  model_dotted(netmask<uint32_t>(prefix)) + "\n";
    return true;
  }
  if (match("%n.%n.%n.%n", text, &v)) {
    if (!quad(v, 0, &addr)) {
      out->warnings = out_of_range;
      return false;
    }
    int prefix = auto_prefix(addr);
    out->insert(addr, addr, prefix);
    out->trace += "address " + model_dotted(addr) + " auto prefix " +
                  std::to_string(prefix) + "\n";
    return true;
  }
  return false;
}

bool is_address_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
         c == ':' || c == '.';
}

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The end of the run of address characters that starts at i.
size_t run_end(const std::string& s, size_t i) {
  while (i < s.size() && is_address_char(s[i])) ++i;
  return i;
}

bool has_colon(const std::string& s, size_t begin, size_t end) {
  return s.find(':', begin) < end;
}

// The run [begin, end) is an address when inet_pton takes all of it and
// it does not run on into a word ("2001:db8::1g").
bool valid_run(const std::string& s, size_t begin, size_t end,
               model_u128* addr) {
  if (end < s.size() && (is_letter(s[end]) || s[end] == '_')) return false;
  return model_pton6(s.substr(begin, end - begin), addr);
}

// The exact minimal cover of [a, b] by aligned blocks, in ascending order:
// from each start, the largest block aligned there that does not pass b.
void insert_cover(model_u128 a, model_u128 b,
                  line_insertions<model_u128>* out) {
  for (;;) {
    int prefix = 0;
    while ((a & ~netmask<model_u128>(prefix)) != 0 ||
           b - a < model_u128(~netmask<model_u128>(prefix)))
      ++prefix;
    out->insert(a, a, prefix);
    model_u128 last = a | ~netmask<model_u128>(prefix);
    if (last == b) return;
    a = last + 1;
  }
}

// Decides one line as IPv6 mode reads it; IPv4 lines insert nothing and
// leave no trace.
bool read_line6(std::string line, bool invert,
                line_insertions<model_u128>* out) {
  if (!line_text(&line)) return false;
  const std::string invalid =
      "WARNING: invalid IPv6 block, line ignored: " + line + "\n";

  size_t i = skip_space(line, 0);
  if (i == line.size()) return false;
  size_t a_begin = i;
  size_t a_end = run_end(line, i);
  bool permit = true;
  if (!has_colon(line, a_begin, a_end)) {
    if (is_digit(line[i])) return false;  // an IPv4 block
    permit = is_permit_modifier(line[i]);
    // The address is the first run with a colon after the modifier; the
    // run that the modifier may start ("de" of "deny") has none.
    for (;;) {
      while (a_begin < line.size() && !is_address_char(line[a_begin]))
        ++a_begin;
      if (a_begin == line.size()) return false;
      a_end = run_end(line, a_begin);
      if (has_colon(line, a_begin, a_end)) break;
      a_begin = a_end;
    }
  }
  if (invert) permit = !permit;
  out->permit = permit;
  out->trace = permit ? "+  " : "-  ";

  model_u128 a = 0;
  if (!valid_run(line, a_begin, a_end, &a)) {
    out->warnings = invalid;
    return false;
  }
  const std::string start = model_canonical(a);
  std::vector<number> v;
  if (a_end < line.size() && line[a_end] == '/') {
    if (!match("/%n", line.substr(a_end), &v)) {
      out->warnings = invalid;
      return false;
    }
    int prefix = prefix_length(v[0], 128, &out->warnings);
    if (prefix < 0) return false;
    out->insert(a, a, prefix);
    out->trace +=
        "address/prefix " + start + "/" + std::to_string(prefix) + "\n";
    return true;
  }
  size_t k = skip_space(line, a_end);
  if (k < line.size() && line[k] == '-') {
    size_t b_begin = skip_space(line, k + 1);
    model_u128 b = 0;
    if (!valid_run(line, b_begin, run_end(line, b_begin), &b)) {
      out->warnings = invalid;
      return false;
    }
    if (b < a) {
      out->warnings =
          "WARNING: range end below start, line ignored: " + line + "\n";
      return false;
    }
    insert_cover(a, b, out);
    out->trace += "range " + start + " - " + model_canonical(b) +
                  ", blocks: " + std::to_string(out->runs.size()) + "\n";
    return true;
  }
  // A's run ends at a character that starts no run, so a mask run comes
  // after white space.
  size_t m_end = run_end(line, k);
  if (has_colon(line, k, m_end)) {
    model_u128 m = 0;
    if (!valid_run(line, k, m_end, &m)) {
      out->warnings = invalid;
      return false;
    }
    bool contiguous = false;
    int prefix = mask_length(m, &contiguous);
    if (!contiguous) {
      out->warnings = "WARNING: invalid mask, line ignored: " + line + "\n";
      return false;
    }
    if (prefix == 128 && a == 0) {
      prefix = 0;
      out->warnings = "WARNING: mask " + model_canonical(m) +
                      " treated as 0 significant bits\n";
    }
    out->insert(a, a, prefix);
    out->trace += "address " + start + " mask " +
                  model_canonical(netmask<model_u128>(prefix)) + "\n";
    return true;
  }
  out->insert(a, a, 128);
  out->trace += "address " + start + " prefix 128\n";
  return true;
}

template <typename Addr>
using line_reader = bool (*)(std::string line, bool invert,
                             line_insertions<Addr>* out);

// Calls visit(line_insertions, inserts) for every line of the input.
template <typename Addr, typename Visit>
void for_each_line(const std::string& input, bool invert,
                   line_reader<Addr> read, Visit visit) {
  // A UTF-8 byte-order mark at the very start is no part of the first line.
  size_t begin = input.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
  while (begin < input.size()) {
    size_t newline = input.find('\n', begin);
    size_t stop = newline == std::string::npos ? input.size() : newline;
    line_insertions<Addr> ins;
    bool inserts = read(input.substr(begin, stop - begin), invert, &ins);
    visit(ins, inserts);
    begin = stop + 1;
  }
}

template <typename Addr>
uint64_t block_count_of(const std::string& input, bool invert,
                        line_reader<Addr> read) {
  uint64_t total = 0;
  for_each_line(input, invert, read,
                [&](const line_insertions<Addr>& ins, bool inserts) {
                  if (inserts) total = saturated_sum(total, ins.count());
                });
  return total;
}

template <typename Addr>
std::vector<basic_model_block<Addr>> blocks_of(const std::string& input,
                                               bool invert,
                                               line_reader<Addr> read) {
  std::vector<basic_model_block<Addr>> blocks;
  for_each_line(input, invert, read,
                [&](const line_insertions<Addr>& ins, bool inserts) {
                  if (!inserts) return;
                  for (const insertion_run<Addr>& r : ins.runs)
                    for_each_block(r, [&](Addr b) {
                      basic_model_block<Addr> m;
                      m.addr = b & netmask<Addr>(r.prefix);
                      m.prefix = r.prefix;
                      m.permit = ins.permit;
                      blocks.push_back(m);
                    });
                });
  return blocks;
}

// A block as the key of a hash table: the address and the prefix length.
template <typename Addr>
struct block_key_hash {
  size_t operator()(const std::pair<Addr, int>& key) const {
    // Folds the upper half onto the lower; a collision only costs time.
    uint64_t folded =
        uint64_t(key.first) ^
        uint64_t(key.first >> (bits_of<Addr> / 2)) * 0x9e3779b97f4a7c15u;
    return std::hash<uint64_t>()(folded + uint64_t(key.second));
  }
};

template <typename Addr>
std::string warnings_of(const std::string& input, bool invert,
                        line_reader<Addr> read) {
  std::string text;
  // The state each block was last given; the whole space starts denied.
  std::unordered_map<std::pair<Addr, int>, bool, block_key_hash<Addr>> state = {
      {{Addr(0), 0}, false}};
  for_each_line(
      input, invert, read, [&](const line_insertions<Addr>& ins, bool inserts) {
        text += ins.warnings;
        if (!inserts) return;
        for (const insertion_run<Addr>& r : ins.runs)
          for_each_block(r, [&](Addr b) {
            std::pair<Addr, int> key(b & netmask<Addr>(r.prefix), r.prefix);
            auto it = state.find(key);
            if (it != state.end() && it->second != ins.permit)
              text += "WARNING: " + text_of(b) + "/" +
                      std::to_string(r.prefix) + " overwritten (" +
                      (it->second ? "+" : "-") + " -> " +
                      (ins.permit ? "+" : "-") + ")\n";
            state[key] = ins.permit;
          });
      });
  return text;
}

template <typename Addr>
std::string trace_of(const std::string& input, bool invert,
                     line_reader<Addr> read) {
  std::string text;
  for_each_line(
      input, invert, read,
      [&](const line_insertions<Addr>& ins, bool) { text += ins.trace; });
  return text;
}

template <typename Addr>
bool contains(const basic_acl_entry<Addr>& e, Addr addr) {
  return (addr & netmask<Addr>(e.prefix)) == e.addr;
}

bool parse_octet(const std::string& s, size_t* i, uint32_t* value) {
  size_t start = *i;
  uint32_t v = 0;
  while (*i < s.size() && is_digit(s[*i]) && *i - start < 3)
    v = v * 10 + uint32_t(s[(*i)++] - '0');
  size_t len = *i - start;
  if (len == 0 || (len > 1 && s[start] == '0') || v > 255) return false;
  if (*i < s.size() && is_digit(s[*i])) return false;
  *value = v;
  return true;
}

// A dotted quad as the program prints it: no sign, no leading zeros.
bool parse_quad(const std::string& s, size_t* i, uint32_t* addr) {
  uint32_t a = 0;
  for (int k = 0; k < 4; ++k) {
    if (k > 0) {
      if (*i >= s.size() || s[*i] != '.') return false;
      ++*i;
    }
    uint32_t octet = 0;
    if (!parse_octet(s, i, &octet)) return false;
    a = (a << 8) | octet;
  }
  *addr = a;
  return true;
}

// The whole text is an address exactly as the program prints one.
bool parse_address(const std::string& text, uint32_t* addr) {
  size_t i = 0;
  return parse_quad(text, &i, addr) && i == text.size();
}

bool parse_address(const std::string& text, model_u128* addr) {
  return model_pton6(text, addr) && model_canonical(*addr) == text;
}

bool starts_with(const std::string& s, const std::string& head) {
  return s.compare(0, head.size(), head) == 0;
}

// Splits printed output into lines, each of which must end with a newline,
// and parses each with parse_line(line, entry), which returns what is
// wrong with the line or "".
template <typename Addr, typename ParseLine>
bool parse_lines(const std::string& output,
                 std::vector<basic_acl_entry<Addr>>* entries,
                 std::string* error, ParseLine parse_line) {
  entries->clear();
  size_t begin = 0;
  while (begin < output.size()) {
    size_t newline = output.find('\n', begin);
    if (newline == std::string::npos) {
      *error = "last line has no newline: \"" + output.substr(begin) + "\"";
      return false;
    }
    const std::string line = output.substr(begin, newline - begin);
    basic_acl_entry<Addr> e;
    std::string fault = parse_line(line, &e);
    if (!fault.empty()) {
      *error = fault + ": \"" + line + "\"";
      return false;
    }
    entries->push_back(e);
    begin = newline + 1;
  }
  return true;
}

// Takes the modifier text and its blank from the start of a line; false
// when the line starts with neither modifier.
bool take_modifier(const std::string& line, const std::string& permit_text,
                   const std::string& deny_text, bool* permit, size_t* i) {
  *permit = starts_with(line, permit_text + " ");
  if (!*permit && !starts_with(line, deny_text + " ")) return false;
  *i = (*permit ? permit_text : deny_text).size() + 1;
  return true;
}

// The address, "/" and prefix length that make up the rest of the line
// from i.
template <typename Addr>
std::string parse_slash_entry(const std::string& line, size_t i,
                              basic_acl_entry<Addr>* e) {
  size_t slash = line.find('/', i);
  if (slash == std::string::npos) return "not an entry";
  size_t j = slash + 1;
  uint32_t prefix = 0;
  if (!parse_address(line.substr(i, slash - i), &e->addr) ||
      !parse_octet(line, &j, &prefix) || j != line.size() ||
      prefix > uint32_t(bits_of<Addr>))
    return "not an entry";
  e->prefix = int(prefix);
  if ((e->addr & ~netmask<Addr>(e->prefix)) != 0)
    return "address not aligned to its block";
  return "";
}

template <typename Addr>
bool parse_prefix_lines(const std::string& output,
                        std::vector<basic_acl_entry<Addr>>* entries,
                        std::string* error) {
  return parse_lines(output, entries, error,
                     [](const std::string& line, basic_acl_entry<Addr>* e) {
                       e->permit = true;
                       return parse_slash_entry(line, 0, e);
                     });
}

template <typename Addr>
std::string describe(const basic_acl_entry<Addr>& e) {
  return std::string(e.permit ? "permit " : "deny ") + text_of(e.addr) + "/" +
         std::to_string(e.prefix);
}

// First-match evaluation in logarithmic time: the entries that contain an
// address are exactly those whose block is the address cut to their
// prefix length, and the first of them decides.
template <typename Addr>
class entry_index {
 public:
  explicit entry_index(const std::vector<basic_acl_entry<Addr>>& entries)
      : entries_(entries) {
    for (size_t k = 0; k < entries.size(); ++k)
      first_[entries[k].prefix].push_back({entries[k].addr, k});
    // Sorted by address, and for equal addresses the first entry first.
    for (int p = 0; p <= bits_of<Addr>; ++p) {
      std::sort(first_[p].begin(), first_[p].end());
      if (!first_[p].empty()) lengths_.push_back(p);
    }
  }
  bool decision(Addr addr) const {
    size_t best = entries_.size();
    for (int p : lengths_) {
      const auto& v = first_[p];
      std::pair<Addr, size_t> key(addr & netmask<Addr>(p), 0);
      auto it = std::lower_bound(v.begin(), v.end(), key);
      if (it != v.end() && it->first == key.first)
        best = std::min(best, it->second);
    }
    return best < entries_.size() && entries_[best].permit;
  }

 private:
  const std::vector<basic_acl_entry<Addr>>& entries_;
  std::vector<std::pair<Addr, size_t>> first_[bits_of<Addr> + 1];
  std::vector<int> lengths_;  // those that some entry has
};

// What a list printed from the optimized tree in its output order always
// has: each entry comes after every entry inside it, its decision differs
// from that of the nearest entry around it, and the last entry is the
// whole address space.
template <typename Addr>
std::string check_tree_order(
    const std::vector<basic_acl_entry<Addr>>& entries) {
  if (entries.empty() || entries.back().prefix != 0)
    return "list does not end with the whole address space";
  // Entries seen so far, by prefix length and address, with their index.
  std::map<Addr, size_t> seen[bits_of<Addr> + 1];
  for (size_t k = 0; k < entries.size(); ++k) {
    const basic_acl_entry<Addr>& e = entries[k];
    for (int p = 0; p <= e.prefix; ++p) {
      auto it = seen[p].find(e.addr & netmask<Addr>(p));
      if (it != seen[p].end())
        return "entry " + describe(e) + " comes after the entry around it, " +
               describe(entries[it->second]);
    }
    seen[e.prefix][e.addr] = k;
  }
  // Every entry around another one comes after it, so the nearest entry
  // around an entry is the longest shorter prefix that contains it.
  for (const basic_acl_entry<Addr>& e : entries) {
    for (int p = e.prefix - 1; p >= 0; --p) {
      auto it = seen[p].find(e.addr & netmask<Addr>(p));
      if (it == seen[p].end()) continue;
      if (entries[it->second].permit == e.permit)
        return "entry " + describe(e) +
               " repeats the decision of the entry around it, " +
               describe(entries[it->second]);
      break;
    }
  }
  return "";
}

// The form and the meaning of a parsed list.
template <typename Addr>
std::string check_list(const std::vector<basic_model_block<Addr>>& blocks,
                       const std::vector<basic_acl_entry<Addr>>& entries,
                       output_kind kind) {
  std::string error = kind == output_kind::MODIFIER
                          ? check_tree_order(entries)
                          : check_positive_entries(entries);
  if (!error.empty()) return error;
  basic_meaning_difference<Addr> d = compare_meanings(blocks, entries);
  if (d.found)
    return "at " + text_of(d.addr) + " the input " +
           (d.input ? "permits" : "denies") + " but the list " +
           (d.output ? "permits" : "denies");
  return "";
}

template <typename Addr>
using modifier_parser = bool (*)(const std::string& output,
                                 const std::string& permit_text,
                                 const std::string& deny_text,
                                 std::vector<basic_acl_entry<Addr>>* entries,
                                 std::string* error);

template <typename Addr>
std::string check_output_of(const std::vector<basic_model_block<Addr>>& blocks,
                            const std::string& output, output_kind kind,
                            const std::string& permit_text,
                            const std::string& deny_text,
                            modifier_parser<Addr> parse_modifier_lines) {
  std::vector<basic_acl_entry<Addr>> entries;
  std::string error;
  bool parsed = kind == output_kind::POSITIVE_PREFIX
                    ? parse_prefix_lines(output, &entries, &error)
                    : parse_modifier_lines(output, permit_text, deny_text,
                                           &entries, &error);
  return parsed ? check_list(blocks, entries, kind) : error;
}

// A plain tree of the blocks, for the reference reduction below: a node's
// address and prefix follow from its path.
enum { UNSET = 0, DENY = 1, PERMIT = 2 };

struct ref_node {
  std::unique_ptr<ref_node> child[2];
  int state = UNSET;
  bool leaf() const { return !child[0] && !child[1]; }
};

int opposite(int state) {
  return state == DENY ? PERMIT : state == PERMIT ? DENY : UNSET;
}

void fill(ref_node* x, int inherited) {
  if (!x) return;
  if (x->state == UNSET) x->state = inherited;
  fill(x->child[0].get(), x->state);
  fill(x->child[1].get(), x->state);
}

void reduce(ref_node* x) {
  if (!x || x->leaf()) return;
  reduce(x->child[0].get());
  reduce(x->child[1].get());
  // Rotation: a child A that repeats x, beside an opposite leaf B, with one
  // leaf G below it: G moves to A's other half and A and G swap states,
  // so that A becomes opposite like B and the two can merge.
  for (int k = 0; k < 2; ++k) {
    ref_node* a = x->child[k].get();
    ref_node* b = x->child[1 - k].get();
    if (!a || !b || a->state != x->state || b->state != opposite(x->state) ||
        !b->leaf())
      continue;
    if (!a->child[0] == !a->child[1]) continue;  // not exactly one child
    int j = a->child[0] ? 0 : 1;
    if (!a->child[j]->leaf()) continue;
    a->child[1 - j] = std::move(a->child[j]);
    ref_node* g = a->child[1 - j].get();
    a->state = g->state;
    g->state = x->state;
  }
  if (x->child[0] && x->child[1] && x->child[0]->state != UNSET &&
      x->child[0]->state == x->child[1]->state) {
    x->state = x->child[0]->state;
    x->child[0]->state = x->child[1]->state = UNSET;
  }
  for (auto& c : x->child)
    if (c && c->state == x->state) c->state = UNSET;
  for (auto& c : x->child)
    if (c && c->state == UNSET && c->leaf()) c.reset();
}

void expand(ref_node* x) {
  if (x->leaf()) return;
  for (auto& c : x->child) {
    if (!c) c.reset(new ref_node);
    if (c->state == UNSET) c->state = x->state;
  }
  x->state = UNSET;
  expand(x->child[0].get());
  expand(x->child[1].get());
}

// The address of the upper child of the node at (addr, prefix).
template <typename Addr>
Addr upper_half(Addr addr, int prefix) {
  return addr | Addr(Addr(1) << (bits_of<Addr> - 1 - prefix));
}

template <typename Addr>
void list_entries(const ref_node* x, Addr addr, int prefix, bool positive,
                  std::vector<basic_acl_entry<Addr>>* out) {
  if (!x) return;
  if (prefix < bits_of<Addr>) {  // nodes at the full length have no children
    list_entries(x->child[0].get(), addr, prefix + 1, positive, out);
    list_entries(x->child[1].get(), upper_half(addr, prefix), prefix + 1,
                 positive, out);
  }
  if (x->state == PERMIT || (x->state == DENY && !positive)) {
    basic_acl_entry<Addr> e;
    e.permit = x->state == PERMIT;
    e.addr = addr;
    e.prefix = prefix;
    out->push_back(e);
  }
}

// The tree sideways, upper halves above, as the tracing dumps print it,
// with the root marked.
template <typename Addr>
void dump(const ref_node* x, int level, char branch, Addr addr,
          std::string* out) {
  if (!x) return;
  if (level < bits_of<Addr>)
    dump(x->child[1].get(), level + 1, '/', upper_half(addr, level), out);
  static const char* const names[] = {"", "NO", "YES"};
  *out += std::string(1, level == 0 ? '*' : ' ') +
          std::string(level == 0 ? 1 : 2 * level - 1, ' ') + branch +
          std::to_string(level) + "," + names[x->state] + "," + hex_of(addr) +
          " " + text_of(addr) + "\n";
  if (level < bits_of<Addr>)
    dump(x->child[0].get(), level + 1, '\\', addr, out);
}

void count(const ref_node* x, int counts[3]) {
  if (!x) return;
  count(x->child[0].get(), counts);
  count(x->child[1].get(), counts);
  ++counts[x->state];
}

template <typename Addr>
std::string dump_with_counts(const ref_node& root) {
  std::string text;
  dump(&root, 0, ' ', Addr(0), &text);
  int counts[3] = {0, 0, 0};
  count(&root, counts);
  return text + "n=" + std::to_string(counts[DENY]) +
         " y=" + std::to_string(counts[PERMIT]) +
         " u=" + std::to_string(counts[UNSET]) + "\n";
}

template <typename Addr>
void build(const std::vector<basic_model_block<Addr>>& blocks, ref_node* root) {
  root->state = DENY;
  for (const basic_model_block<Addr>& b : blocks) {
    ref_node* x = root;
    for (int i = 0; i < b.prefix; ++i) {
      auto& next = x->child[int(b.addr >> (bits_of<Addr> - 1 - i) & 1)];
      if (!next) next.reset(new ref_node);
      x = next.get();
    }
    x->state = b.permit ? PERMIT : DENY;
  }
}

}  // namespace

template <typename Addr>
std::vector<basic_acl_entry<Addr>> model_listing(
    const std::vector<basic_model_block<Addr>>& blocks, bool positive) {
  ref_node root;
  build(blocks, &root);
  fill(&root, DENY);
  reduce(&root);
  if (positive) expand(&root);
  std::vector<basic_acl_entry<Addr>> entries;
  list_entries(&root, Addr(0), 0, positive, &entries);
  return entries;
}

template <typename Addr>
std::string model_tree_dumps(
    const std::vector<basic_model_block<Addr>>& blocks) {
  ref_node root;
  build(blocks, &root);
  std::string text = "raw tree:\n-----\n" + dump_with_counts<Addr>(root);
  fill(&root, DENY);
  reduce(&root);
  return text + "-----\noptimized tree:\n" + dump_with_counts<Addr>(root);
}

template <typename Addr>
basic_model_table<Addr>::basic_model_table(
    const std::vector<basic_model_block<Addr>>& blocks) {
  std::map<Addr, bool> last[bits_of<Addr> + 1];
  for (const basic_model_block<Addr>& b : blocks)
    last[b.prefix][b.addr] = b.permit;
  for (int p = bits_of<Addr>; p >= 0; --p) {
    by_length_[p].assign(last[p].begin(), last[p].end());
    if (!last[p].empty()) lengths_.push_back(p);
  }
}

template <typename Addr>
bool basic_model_table<Addr>::decision(Addr addr) const {
  for (int p : lengths_) {  // longest first
    const auto& v = by_length_[p];
    std::pair<Addr, bool> key(addr & netmask<Addr>(p), false);
    auto it = std::lower_bound(v.begin(), v.end(), key);
    if (it != v.end() && it->first == key.first) return it->second;
  }
  return false;
}

template <typename Addr>
bool model_decision(const std::vector<basic_model_block<Addr>>& blocks,
                    typename basic_model_block<Addr>::address addr) {
  return basic_model_table<Addr>(blocks).decision(addr);
}

bool parse_entries(const std::string& output, const std::string& permit_text,
                   const std::string& deny_text,
                   std::vector<acl_entry>* entries, std::string* error) {
  return parse_lines(
      output, entries, error,
      [&](const std::string& line, acl_entry* e) -> std::string {
        size_t i = 0;
        uint32_t wildcard = 0;
        if (!take_modifier(line, permit_text, deny_text, &e->permit, &i))
          return "no modifier";
        if (!parse_quad(line, &i, &e->addr) || i >= line.size() ||
            line[i] != ' ' || !parse_quad(line, &++i, &wildcard) ||
            i != line.size())
          return "not an entry";
        if ((wildcard & (wildcard + 1)) != 0) return "wildcard not contiguous";
        if ((e->addr & wildcard) != 0)
          return "address not aligned to its block";
        e->prefix = 32;
        while (e->prefix > 0 && (wildcard >> (32 - e->prefix) & 1)) --e->prefix;
        return "";
      });
}

bool parse_prefix_entries(const std::string& output,
                          std::vector<acl_entry>* entries, std::string* error) {
  return parse_prefix_lines(output, entries, error);
}

bool parse_entries6(const std::string& output, const std::string& permit_text,
                    const std::string& deny_text,
                    std::vector<acl_entry6>* entries, std::string* error) {
  return parse_lines(
      output, entries, error,
      [&](const std::string& line, acl_entry6* e) -> std::string {
        size_t i = 0;
        if (!take_modifier(line, permit_text, deny_text, &e->permit, &i))
          return "no modifier";
        return parse_slash_entry(line, i, e);
      });
}

bool parse_prefix_entries6(const std::string& output,
                           std::vector<acl_entry6>* entries,
                           std::string* error) {
  return parse_prefix_lines(output, entries, error);
}

template <typename Addr>
bool first_match(const std::vector<basic_acl_entry<Addr>>& entries,
                 typename basic_acl_entry<Addr>::address addr) {
  for (const basic_acl_entry<Addr>& e : entries)
    if (contains(e, addr)) return e.permit;
  return false;
}

template <typename Addr>
basic_meaning_difference<Addr> compare_meanings(
    const std::vector<basic_model_block<Addr>>& blocks,
    const std::vector<basic_acl_entry<Addr>>& entries) {
  // Inside an interval that no block of either side starts or ends in,
  // every block contains all of it or none of it: one address per
  // interval stands for the whole interval. The address after a block
  // that ends at the top wraps to 0, which is a boundary anyway.
  std::vector<Addr> bounds = {0};
  auto add = [&](Addr addr, int prefix) {
    bounds.push_back(addr);
    bounds.push_back(Addr((addr | ~netmask<Addr>(prefix)) + 1));
  };
  for (const basic_model_block<Addr>& b : blocks) add(b.addr, b.prefix);
  for (const basic_acl_entry<Addr>& e : entries) add(e.addr, e.prefix);
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

  basic_model_table<Addr> table(blocks);
  entry_index<Addr> index(entries);
  basic_meaning_difference<Addr> d;
  for (Addr a : bounds) {
    bool in = table.decision(a);
    bool out = index.decision(a);
    if (in != out) {
      d.found = true;
      d.addr = a;
      d.input = in;
      d.output = out;
      return d;
    }
  }
  return d;
}

template <typename Addr>
std::string check_positive_entries(
    const std::vector<basic_acl_entry<Addr>>& entries) {
  for (const basic_acl_entry<Addr>& e : entries)
    if (!e.permit) return "positive list has a deny entry: " + describe(e);
  std::vector<basic_acl_entry<Addr>> sorted = entries;
  std::sort(sorted.begin(), sorted.end(),
            [](const basic_acl_entry<Addr>& x, const basic_acl_entry<Addr>& y) {
              return x.addr != y.addr ? x.addr < y.addr : x.prefix < y.prefix;
            });
  for (size_t k = 1; k < sorted.size(); ++k) {
    const basic_acl_entry<Addr>& prev = sorted[k - 1];
    Addr prev_last = prev.addr | ~netmask<Addr>(prev.prefix);
    if (sorted[k].addr <= prev_last)
      return "positive list has overlapping entries: " + describe(prev) +
             " and " + describe(sorted[k]);
  }
  return "";
}

std::string model_dotted(uint32_t addr) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", addr >> 24, addr >> 16 & 255,
           addr >> 8 & 255, addr & 255);
  return buf;
}

std::string model_canonical(model_u128 addr) {
  unsigned group[8];
  for (int k = 0; k < 8; ++k)
    group[k] = unsigned(addr >> (112 - 16 * k) & 0xffff);
  // The longest run of two or more zero groups, the first of equal ones.
  int run = -1;
  int run_length = 1;
  for (int k = 0; k < 8; ++k) {
    int length = 0;
    while (k + length < 8 && group[k + length] == 0) ++length;
    if (length > run_length) {
      run = k;
      run_length = length;
    }
  }
  std::string text;
  for (int k = 0; k < 8; ++k) {
    if (k == run) {
      text += "::";
      k += run_length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    char hex[8];
    snprintf(hex, sizeof hex, "%x", group[k]);
    text += hex;
  }
  return text;
}

bool model_pton6(const std::string& text, model_u128* addr) {
  unsigned char bytes[16];
  if (text.find('\0') != std::string::npos ||
      inet_pton(AF_INET6, text.c_str(), bytes) != 1)
    return false;
  model_u128 a = 0;
  for (unsigned char b : bytes) a = a << 8 | b;
  *addr = a;
  return true;
}

// Each family's reading and checking entry points, over its line reader
// and its parser of modifier lists.
#define TENVIK_MODEL_READING(SUFFIX, ADDR, READ)                              \
  uint64_t model_block_count##SUFFIX(const std::string& input, bool invert) { \
    return block_count_of<ADDR>(input, invert, READ);                         \
  }                                                                           \
  std::vector<basic_model_block<ADDR>> model_blocks##SUFFIX(                  \
      const std::string& input, bool invert) {                                \
    return blocks_of<ADDR>(input, invert, READ);                              \
  }                                                                           \
  std::string model_warnings##SUFFIX(const std::string& input, bool invert) { \
    return warnings_of<ADDR>(input, invert, READ);                            \
  }                                                                           \
  std::string model_trace##SUFFIX(const std::string& input, bool invert) {    \
    return trace_of<ADDR>(input, invert, READ);                               \
  }                                                                           \
  std::string check_output##SUFFIX(                                           \
      const std::string& input, bool invert, const std::string& output,       \
      output_kind kind, const std::string& permit_text,                       \
      const std::string& deny_text) {                                         \
    return check_output_of<ADDR>(model_blocks##SUFFIX(input, invert), output, \
                                 kind, permit_text, deny_text,                \
                                 parse_entries##SUFFIX);                      \
  }

TENVIK_MODEL_READING(, uint32_t, read_line4)
TENVIK_MODEL_READING(6, model_u128, read_line6)

#define TENVIK_MODEL_INSTANTIATE(ADDR)                                        \
  template class basic_model_table<ADDR>;                                     \
  template bool model_decision(const std::vector<basic_model_block<ADDR>>&,   \
                               ADDR);                                         \
  template bool first_match(const std::vector<basic_acl_entry<ADDR>>&, ADDR); \
  template std::vector<basic_acl_entry<ADDR>> model_listing(                  \
      const std::vector<basic_model_block<ADDR>>&, bool);                     \
  template std::string model_tree_dumps(                                      \
      const std::vector<basic_model_block<ADDR>>&);                           \
  template basic_meaning_difference<ADDR> compare_meanings(                   \
      const std::vector<basic_model_block<ADDR>>&,                            \
      const std::vector<basic_acl_entry<ADDR>>&);                             \
  template std::string check_positive_entries(                                \
      const std::vector<basic_acl_entry<ADDR>>&);

TENVIK_MODEL_INSTANTIATE(uint32_t)
TENVIK_MODEL_INSTANTIATE(model_u128)
