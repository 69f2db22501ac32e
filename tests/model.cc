#include "model.h"

#include <algorithm>
#include <cstdio>
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

uint32_t netmask(int prefix) {
  return prefix == 0 ? 0 : uint32_t(0xffffffffu << (32 - prefix));
}

uint64_t block_size(int prefix) { return uint64_t(1) << (32 - prefix); }

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

// What one input line inserts: blocks of length `prefix` at start,
// start + size, ... while not above end (the addresses as passed to the
// insertion; only their top `prefix` bits name the block).
struct line_insertions {
  bool permit = false;
  uint32_t start = 0;
  uint32_t end = 0;
  int prefix = 0;
  std::string warnings;  // written before the insertions (or instead)
  std::string trace;     // the line's input-parsing trace
  uint64_t count() const {
    if (end < start) return 0;
    return (uint64_t(end) - start) / block_size(prefix) + 1;
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

// Decides one line (split at its newline). False when it inserts nothing;
// `out->warnings` may still hold the warning of an ignored line.
bool read_line(std::string line, bool invert, line_insertions* out) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  size_t nul = line.find('\0');
  if (nul != std::string::npos) line.resize(nul);
  size_t hash = line.find('#');
  if (hash != std::string::npos) line.resize(hash);
  if (line.empty() || line[0] == '*') return false;
  const std::string out_of_range =
      "WARNING: address out of range, line ignored: " + line + "\n";

  size_t i = 0;
  while (i < line.size() && is_space(line[i])) ++i;
  if (i == line.size()) return false;
  bool permit = true;
  if (!is_digit(line[i])) {
    char m = line[i];
    permit = m == 'P' || m == 'p' || m == 'Y' || m == 'y' || m == '+';
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
    if (v[4].negative && v[4].magnitude != 0) {
      out->warnings =
          "WARNING: prefix /" + decimal(v[4]) + " is negative, line ignored\n";
      return false;
    }
    int prefix = int(std::min<uint64_t>(v[4].magnitude, 33));
    if (prefix > 32) {
      out->warnings =
          "WARNING: prefix /" + decimal(v[4]) + " greater than 32\n";
      prefix = 32;
    }
    out->prefix = prefix;
    out->start = out->end = addr;
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
    out->prefix = prefix;
    out->start = addr;
    out->end = end;
    char size[16];
    snprintf(size, sizeof size, "%.8x", uint32_t(block_size(prefix)));
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
    uint32_t n = (mask & 0x80000000u) ? mask : ~mask;
    int prefix = 0;
    while (prefix < 32 && (n >> (31 - prefix) & 1)) ++prefix;
    if (n != netmask(prefix))
      out->warnings = "WARNING: invalid mask: " + mask_text(v) + "\n";
    if (prefix == 32 && addr == 0) {
      prefix = 0;
      out->warnings =
          "WARNING: mask " + mask_text(v) + " treated as 0 significant bits\n";
    }
    out->prefix = prefix;
    out->start = out->end = addr;
    out->trace += "address " + model_dotted(addr) + " mask " +
                  model_dotted(netmask(prefix)) + "\n";
    return true;
  }
  if (match("%n.%n.%n.%n", text, &v)) {
    if (!quad(v, 0, &addr)) {
      out->warnings = out_of_range;
      return false;
    }
    out->prefix = auto_prefix(addr);
    out->start = out->end = addr;
    out->trace += "address " + model_dotted(addr) + " auto prefix " +
                  std::to_string(out->prefix) + "\n";
    return true;
  }
  return false;
}

// Calls visit(line_insertions, inserts) for every line of the input.
template <typename Visit>
void for_each_line(const std::string& input, bool invert, Visit visit) {
  size_t begin = 0;
  while (begin < input.size()) {
    size_t newline = input.find('\n', begin);
    size_t stop = newline == std::string::npos ? input.size() : newline;
    line_insertions ins;
    bool inserts = read_line(input.substr(begin, stop - begin), invert, &ins);
    visit(ins, inserts);
    begin = stop + 1;
  }
}

bool contains(const acl_entry& e, uint32_t addr) {
  return (addr & netmask(e.prefix)) == e.addr;
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

bool starts_with(const std::string& s, const std::string& head) {
  return s.compare(0, head.size(), head) == 0;
}

// Splits printed output into lines, each of which must end with a newline.
bool split_lines(const std::string& output, std::vector<std::string>* lines,
                 std::string* error) {
  lines->clear();
  size_t begin = 0;
  while (begin < output.size()) {
    size_t newline = output.find('\n', begin);
    if (newline == std::string::npos) {
      *error = "last line has no newline: \"" + output.substr(begin) + "\"";
      return false;
    }
    lines->push_back(output.substr(begin, newline - begin));
    begin = newline + 1;
  }
  return true;
}

std::string describe(const acl_entry& e) {
  return std::string(e.permit ? "permit " : "deny ") + model_dotted(e.addr) +
         "/" + std::to_string(e.prefix);
}

// First-match evaluation in logarithmic time: the entries that contain an
// address are exactly those whose block is the address cut to their
// prefix length, and the first of them decides.
class entry_index {
 public:
  explicit entry_index(const std::vector<acl_entry>& entries)
      : entries_(entries) {
    for (size_t k = 0; k < entries.size(); ++k)
      first_[entries[k].prefix].push_back({entries[k].addr, k});
    // Sorted by address, and for equal addresses the first entry first.
    for (int p = 0; p <= 32; ++p) {
      std::sort(first_[p].begin(), first_[p].end());
      if (!first_[p].empty()) lengths_.push_back(p);
    }
  }
  bool decision(uint32_t addr) const {
    size_t best = entries_.size();
    for (int p : lengths_) {
      const auto& v = first_[p];
      std::pair<uint32_t, size_t> key(addr & netmask(p), 0);
      auto it = std::lower_bound(v.begin(), v.end(), key);
      if (it != v.end() && it->first == key.first)
        best = std::min(best, it->second);
    }
    return best < entries_.size() && entries_[best].permit;
  }

 private:
  const std::vector<acl_entry>& entries_;
  std::vector<std::pair<uint32_t, size_t>> first_[33];
  std::vector<int> lengths_;  // those that some entry has
};

// What a list printed from the optimized tree in its output order always
// has: each entry comes after every entry inside it, its decision differs
// from that of the nearest entry around it, and the last entry is the
// whole address space.
std::string check_tree_order(const std::vector<acl_entry>& entries) {
  if (entries.empty() || entries.back().prefix != 0)
    return "list does not end with the whole address space";
  // Entries seen so far, by prefix length and address, with their index.
  std::map<uint32_t, size_t> seen[33];
  for (size_t k = 0; k < entries.size(); ++k) {
    const acl_entry& e = entries[k];
    for (int p = 0; p <= e.prefix; ++p) {
      auto it = seen[p].find(e.addr & netmask(p));
      if (it != seen[p].end())
        return "entry " + describe(e) + " comes after the entry around it, " +
               describe(entries[it->second]);
    }
    seen[e.prefix][e.addr] = k;
  }
  // Every entry around another one comes after it, so the nearest entry
  // around an entry is the longest shorter prefix that contains it.
  for (const acl_entry& e : entries) {
    for (int p = e.prefix - 1; p >= 0; --p) {
      auto it = seen[p].find(e.addr & netmask(p));
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

void list_entries(const ref_node* x, uint32_t addr, int prefix, bool positive,
                  std::vector<acl_entry>* out) {
  if (!x) return;
  if (prefix < 32) {  // nodes at depth 32 have no children
    list_entries(x->child[0].get(), addr, prefix + 1, positive, out);
    list_entries(x->child[1].get(), addr | uint32_t(1) << (31 - prefix),
                 prefix + 1, positive, out);
  }
  if (x->state == PERMIT || (x->state == DENY && !positive)) {
    acl_entry e;
    e.permit = x->state == PERMIT;
    e.addr = addr;
    e.prefix = prefix;
    out->push_back(e);
  }
}

// The tree sideways, upper halves above, as the tracing dumps print it,
// with the root marked.
void dump(const ref_node* x, int level, char branch, uint32_t addr,
          std::string* out) {
  if (!x) return;
  if (level < 32)
    dump(x->child[1].get(), level + 1, '/', addr | uint32_t(1) << (31 - level),
         out);
  static const char* const names[] = {"", "NO", "YES"};
  char hex[16];
  snprintf(hex, sizeof hex, "%.8x", addr);
  *out += std::string(1, level == 0 ? '*' : ' ') +
          std::string(level == 0 ? 1 : 2 * level - 1, ' ') + branch +
          std::to_string(level) + "," + names[x->state] + "," + hex + " " +
          model_dotted(addr) + "\n";
  if (level < 32) dump(x->child[0].get(), level + 1, '\\', addr, out);
}

void count(const ref_node* x, int counts[3]) {
  if (!x) return;
  count(x->child[0].get(), counts);
  count(x->child[1].get(), counts);
  ++counts[x->state];
}

std::string dump_with_counts(const ref_node& root) {
  std::string text;
  dump(&root, 0, ' ', 0, &text);
  int counts[3] = {0, 0, 0};
  count(&root, counts);
  return text + "n=" + std::to_string(counts[DENY]) +
         " y=" + std::to_string(counts[PERMIT]) +
         " u=" + std::to_string(counts[UNSET]) + "\n";
}

void build(const std::vector<model_block>& blocks, ref_node* root) {
  root->state = DENY;
  for (const model_block& b : blocks) {
    ref_node* x = root;
    for (int i = 0; i < b.prefix; ++i) {
      auto& next = x->child[b.addr >> (31 - i) & 1];
      if (!next) next.reset(new ref_node);
      x = next.get();
    }
    x->state = b.permit ? PERMIT : DENY;
  }
}

}  // namespace

uint64_t model_block_count(const std::string& input, bool invert) {
  uint64_t total = 0;
  for_each_line(input, invert, [&](const line_insertions& ins, bool inserts) {
    uint64_t c = inserts ? ins.count() : 0;
    total = total > UINT64_MAX - c ? UINT64_MAX : total + c;
  });
  return total;
}

std::vector<model_block> model_blocks(const std::string& input, bool invert) {
  std::vector<model_block> blocks;
  for_each_line(input, invert, [&](const line_insertions& ins, bool inserts) {
    if (!inserts) return;
    for (uint64_t b = ins.start; b <= ins.end; b += block_size(ins.prefix)) {
      model_block m;
      m.addr = uint32_t(b) & netmask(ins.prefix);
      m.prefix = ins.prefix;
      m.permit = ins.permit;
      blocks.push_back(m);
    }
  });
  return blocks;
}

std::string model_warnings(const std::string& input, bool invert) {
  std::string text;
  // The state each block was last given; the whole space starts denied.
  std::unordered_map<uint64_t, bool> state = {{0, false}};
  for_each_line(input, invert, [&](const line_insertions& ins, bool inserts) {
    text += ins.warnings;
    if (!inserts) return;
    for (uint64_t b = ins.start; b <= ins.end; b += block_size(ins.prefix)) {
      uint64_t key =
          uint64_t(ins.prefix) << 32 | (uint32_t(b) & netmask(ins.prefix));
      auto it = state.find(key);
      if (it != state.end() && it->second != ins.permit)
        text += "WARNING: " + model_dotted(uint32_t(b)) + "/" +
                std::to_string(ins.prefix) + " overwritten (" +
                (it->second ? "+" : "-") + " -> " + (ins.permit ? "+" : "-") +
                ")\n";
      state[key] = ins.permit;
    }
  });
  return text;
}

std::string model_trace(const std::string& input, bool invert) {
  std::string text;
  for_each_line(input, invert,
                [&](const line_insertions& ins, bool) { text += ins.trace; });
  return text;
}

std::vector<acl_entry> model_listing(const std::vector<model_block>& blocks,
                                     bool positive) {
  ref_node root;
  build(blocks, &root);
  fill(&root, DENY);
  reduce(&root);
  if (positive) expand(&root);
  std::vector<acl_entry> entries;
  list_entries(&root, 0, 0, positive, &entries);
  return entries;
}

std::string model_tree_dumps(const std::vector<model_block>& blocks) {
  ref_node root;
  build(blocks, &root);
  std::string text = "raw tree:\n-----\n" + dump_with_counts(root);
  fill(&root, DENY);
  reduce(&root);
  return text + "-----\noptimized tree:\n" + dump_with_counts(root);
}

model_table::model_table(const std::vector<model_block>& blocks) {
  std::map<uint32_t, bool> last[33];
  for (const model_block& b : blocks) last[b.prefix][b.addr] = b.permit;
  for (int p = 32; p >= 0; --p) {
    by_length_[p].assign(last[p].begin(), last[p].end());
    if (!last[p].empty()) lengths_.push_back(p);
  }
}

bool model_table::decision(uint32_t addr) const {
  for (int p : lengths_) {  // longest first
    const auto& v = by_length_[p];
    std::pair<uint32_t, bool> key(addr & netmask(p), false);
    auto it = std::lower_bound(v.begin(), v.end(), key);
    if (it != v.end() && it->first == key.first) return it->second;
  }
  return false;
}

bool model_decision(const std::vector<model_block>& blocks, uint32_t addr) {
  return model_table(blocks).decision(addr);
}

bool parse_entries(const std::string& output, const std::string& permit_text,
                   const std::string& deny_text,
                   std::vector<acl_entry>* entries, std::string* error) {
  entries->clear();
  std::vector<std::string> lines;
  if (!split_lines(output, &lines, error)) return false;
  for (const std::string& line : lines) {
    acl_entry e;
    size_t i = 0;
    if (starts_with(line, permit_text + " ")) {
      e.permit = true;
      i = permit_text.size() + 1;
    } else if (starts_with(line, deny_text + " ")) {
      i = deny_text.size() + 1;
    } else {
      *error = "no modifier: \"" + line + "\"";
      return false;
    }
    uint32_t wildcard = 0;
    if (!parse_quad(line, &i, &e.addr) || i >= line.size() || line[i] != ' ' ||
        !parse_quad(line, &++i, &wildcard) || i != line.size()) {
      *error = "not an entry: \"" + line + "\"";
      return false;
    }
    if ((wildcard & (wildcard + 1)) != 0) {
      *error = "wildcard not contiguous: \"" + line + "\"";
      return false;
    }
    if ((e.addr & wildcard) != 0) {
      *error = "address not aligned to its block: \"" + line + "\"";
      return false;
    }
    e.prefix = 32;
    while (e.prefix > 0 && (wildcard >> (32 - e.prefix) & 1)) --e.prefix;
    entries->push_back(e);
  }
  return true;
}

bool parse_prefix_entries(const std::string& output,
                          std::vector<acl_entry>* entries, std::string* error) {
  entries->clear();
  std::vector<std::string> lines;
  if (!split_lines(output, &lines, error)) return false;
  for (const std::string& line : lines) {
    acl_entry e;
    e.permit = true;
    size_t i = 0;
    uint32_t prefix = 0;
    if (!parse_quad(line, &i, &e.addr) || i >= line.size() || line[i] != '/' ||
        !parse_octet(line, &++i, &prefix) || i != line.size() || prefix > 32) {
      *error = "not an entry: \"" + line + "\"";
      return false;
    }
    e.prefix = int(prefix);
    if ((e.addr & ~netmask(e.prefix)) != 0) {
      *error = "address not aligned to its block: \"" + line + "\"";
      return false;
    }
    entries->push_back(e);
  }
  return true;
}

bool first_match(const std::vector<acl_entry>& entries, uint32_t addr) {
  for (const acl_entry& e : entries)
    if (contains(e, addr)) return e.permit;
  return false;
}

meaning_difference compare_meanings(const std::vector<model_block>& blocks,
                                    const std::vector<acl_entry>& entries) {
  // Inside an interval that no block of either side starts or ends in,
  // every block contains all of it or none of it: one address per
  // interval stands for the whole interval.
  std::vector<uint64_t> bounds = {0};
  for (const model_block& b : blocks) {
    bounds.push_back(b.addr);
    bounds.push_back(uint64_t(b.addr) + block_size(b.prefix));
  }
  for (const acl_entry& e : entries) {
    bounds.push_back(e.addr);
    bounds.push_back(uint64_t(e.addr) + block_size(e.prefix));
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

  model_table table(blocks);
  entry_index index(entries);
  meaning_difference d;
  for (uint64_t b : bounds) {
    if (b > UINT32_MAX) break;
    uint32_t a = uint32_t(b);
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

std::string check_positive_entries(const std::vector<acl_entry>& entries) {
  for (const acl_entry& e : entries)
    if (!e.permit) return "positive list has a deny entry: " + describe(e);
  std::vector<acl_entry> sorted = entries;
  std::sort(sorted.begin(), sorted.end(),
            [](const acl_entry& x, const acl_entry& y) {
              return x.addr != y.addr ? x.addr < y.addr : x.prefix < y.prefix;
            });
  for (size_t k = 1; k < sorted.size(); ++k) {
    uint64_t prev_end =
        uint64_t(sorted[k - 1].addr) + block_size(sorted[k - 1].prefix);
    if (sorted[k].addr < prev_end)
      return "positive list has overlapping entries: " +
             describe(sorted[k - 1]) + " and " + describe(sorted[k]);
  }
  return "";
}

std::string check_output(const std::string& input, bool invert,
                         const std::string& output, output_kind kind,
                         const std::string& permit_text,
                         const std::string& deny_text) {
  std::vector<acl_entry> entries;
  std::string error;
  bool parsed =
      kind == output_kind::POSITIVE_PREFIX
          ? parse_prefix_entries(output, &entries, &error)
          : parse_entries(output, permit_text, deny_text, &entries, &error);
  if (!parsed) return error;
  error = kind == output_kind::MODIFIER ? check_tree_order(entries)
                                        : check_positive_entries(entries);
  if (!error.empty()) return error;
  meaning_difference d = compare_meanings(model_blocks(input, invert), entries);
  if (d.found)
    return "at " + model_dotted(d.addr) + " the input " +
           (d.input ? "permits" : "denies") + " but the list " +
           (d.output ? "permits" : "denies");
  return "";
}

std::string model_dotted(uint32_t addr) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", addr >> 24, addr >> 16 & 255,
           addr >> 8 & 255, addr & 255);
  return buf;
}
