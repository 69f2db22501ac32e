#ifndef TENVIK_MODEL_H_
#define TENVIK_MODEL_H_

// A slow, independent model of what an input list and a printed access list
// mean, for property tests and the fuzzer. It uses only the standard library
// and POSIX and shares no code with the program: a fault in the program's
// parser or tree must not be able to hide itself by also being in the model.
//
// The meaning of blocks and lists is written once over the address type:
// uint32_t for IPv4 and `model_u128` for IPv6. The templates below are
// defined in model.cc for exactly these two types.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// An IPv6 address in host order: the first group of its text is the top
/// 16 bits.
__extension__ typedef unsigned __int128 model_u128;

// One block that an input line names, with the line's final state.
template <typename Addr>
struct basic_model_block {
  using address = Addr;
  Addr addr = 0;   // first address of the block (low bits cleared)
  int prefix = 0;  // 0 to the address width
  bool permit = false;
};
using model_block = basic_model_block<uint32_t>;
using model_block6 = basic_model_block<model_u128>;

/// Upper bound of the number of blocks that `model_blocks` would return
/// for this input, computed without expanding any range (a range such as
/// 0.0.0.0 - 255.255.255.254 names four billion blocks). Saturates at
/// UINT64_MAX.
uint64_t model_block_count(const std::string& input, bool invert);

/// The blocks that the input's lines name, in input order (a range gives
/// its blocks in ascending order). Accepts arbitrary bytes. Callers that
/// take untrusted input check `model_block_count` first.
std::vector<model_block> model_blocks(const std::string& input, bool invert);

/// What a run without -s writes to standard error for this input, besides
/// the format warning: each line's warnings in input order, the overwrite
/// warnings of its insertions last. A prefix length beyond the signed
/// 64-bit range shows saturated to plus or minus (2^63 - 1).
std::string model_warnings(const std::string& input, bool invert);

/// What trace bit 1 prints for this input, leaving out the dumps that "*"
/// lines print among it.
std::string model_trace(const std::string& input, bool invert);

/// The same four for a run in IPv6 mode, which reads only the IPv6 lines
/// and ignores the others without a message. A range names at most 254
/// blocks, so every input can be expanded.
uint64_t model_block_count6(const std::string& input, bool invert);
std::vector<model_block6> model_blocks6(const std::string& input, bool invert);
std::string model_warnings6(const std::string& input, bool invert);
std::string model_trace6(const std::string& input, bool invert);

/// Longest-prefix match over a list of blocks, where a later block equal to
/// an earlier one replaces it and an address covered by no block is denied.
template <typename Addr>
class basic_model_table {
 public:
  explicit basic_model_table(
      const std::vector<basic_model_block<Addr>>& blocks);
  bool decision(Addr addr) const;

 private:
  // Per prefix length, the blocks of that length sorted by address, each
  // with the state of its last occurrence.
  std::vector<std::pair<Addr, bool>> by_length_[sizeof(Addr) * 8 + 1];
  std::vector<int> lengths_;  // those that some block has, longest first
};
using model_table = basic_model_table<uint32_t>;
using model_table6 = basic_model_table<model_u128>;

/// Decision of the input for one address: `model_table(blocks).decision`.
template <typename Addr>
bool model_decision(const std::vector<basic_model_block<Addr>>& blocks,
                    typename basic_model_block<Addr>::address addr);

// One entry of a printed access list.
template <typename Addr>
struct basic_acl_entry {
  using address = Addr;
  bool permit = false;
  Addr addr = 0;
  int prefix = 0;
};
using acl_entry = basic_acl_entry<uint32_t>;
using acl_entry6 = basic_acl_entry<model_u128>;

/// Parses a list printed with the format "%m %a %w". Every line must be
/// `permit_text` or `deny_text`, one blank, a dotted quad, one blank and a
/// contiguous wildcard, with the address aligned to the block. Returns
/// false and describes the first offending line in `error` otherwise.
bool parse_entries(const std::string& output, const std::string& permit_text,
                   const std::string& deny_text,
                   std::vector<acl_entry>* entries, std::string* error);

/// Parses a list printed with the format "%a/%p": every entry permits.
bool parse_prefix_entries(const std::string& output,
                          std::vector<acl_entry>* entries, std::string* error);

/// Parses an IPv6 list printed with the format "%m %a/%p", the default of
/// IPv6 mode: the modifier text, one blank, the address in canonical text
/// (as `model_canonical` writes it), "/" and the prefix length 0 to 128 in
/// decimal, with the address aligned to the block.
bool parse_entries6(const std::string& output, const std::string& permit_text,
                    const std::string& deny_text,
                    std::vector<acl_entry6>* entries, std::string* error);

/// Parses an IPv6 list printed with the format "%a/%p": every entry
/// permits.
bool parse_prefix_entries6(const std::string& output,
                           std::vector<acl_entry6>* entries,
                           std::string* error);

/// Evaluates the list top to bottom: the first entry containing the
/// address decides; no match denies.
template <typename Addr = uint32_t>
bool first_match(const std::vector<basic_acl_entry<Addr>>& entries,
                 typename basic_acl_entry<Addr>::address addr);

/// The entries the program prints for these blocks, by a separate
/// reference of its reduction: the tree of the blocks (the whole space
/// denied unless a block says otherwise), every unset node filled from its
/// parent, each node reduced bottom-up by rotation, merge, clearing of
/// states that repeat the parent's and pruning of unset leaves; in
/// positive mode expanded so that only leaves hold states; then every
/// node with a state (in positive mode, every permitting one) in
/// post-order, lower half first.
template <typename Addr>
std::vector<basic_acl_entry<Addr>> model_listing(
    const std::vector<basic_model_block<Addr>>& blocks, bool positive);

/// What trace bits 2 and 4 print together before the entries: the tree
/// of the blocks as read and after the reduction, each dumped sideways
/// with its counts of denying, permitting and unset nodes. A node shows
/// its address in lower-case hexadecimal digits, 8 or 32, and then as
/// text: a dotted quad, or IPv6 canonical text.
template <typename Addr>
std::string model_tree_dumps(
    const std::vector<basic_model_block<Addr>>& blocks);

template <typename Addr>
struct basic_meaning_difference {
  bool found = false;
  Addr addr = 0;        // the lowest address where the meanings differ
  bool input = false;   // what the input decides there
  bool output = false;  // what the access list decides there
};
using meaning_difference = basic_meaning_difference<uint32_t>;
using meaning_difference6 = basic_meaning_difference<model_u128>;

/// Compares the input's longest-prefix meaning with the list's first-match
/// meaning over the whole address space (2^32 or 2^128 addresses), one
/// representative address per interval between consecutive block
/// boundaries of either side.
template <typename Addr>
basic_meaning_difference<Addr> compare_meanings(
    const std::vector<basic_model_block<Addr>>& blocks,
    const std::vector<basic_acl_entry<Addr>>& entries);

/// For a positive-mode list: every entry permits and no two entries
/// overlap. Returns an empty string when that holds, else a description.
template <typename Addr>
std::string check_positive_entries(
    const std::vector<basic_acl_entry<Addr>>& entries);

// How a checked output was printed. In IPv6 mode the modifier kinds mean
// the format "%m %a/%p".
enum class output_kind {
  MODIFIER,           // "%m %a %w", positive mode off
  POSITIVE_MODIFIER,  // "%m %a %w", positive mode on (-p)
  POSITIVE_PREFIX,    // "%a/%p" (positive mode by the format check)
};

/// The whole property for one run: parses `output`, checks its form (for
/// MODIFIER, that every entry comes after the entries inside it, differs
/// from the entry around it, and that the last is the whole space; for the
/// positive kinds, that it permits only, over disjoint blocks), and
/// compares its meaning with the input's. Returns an empty string when all
/// holds, else a description of the first fault found. The modifier texts
/// are those of -m (unused by POSITIVE_PREFIX).
std::string check_output(const std::string& input, bool invert,
                         const std::string& output, output_kind kind,
                         const std::string& permit_text = "permit",
                         const std::string& deny_text = "deny  ");

/// `check_output` of a run in IPv6 mode.
std::string check_output6(const std::string& input, bool invert,
                          const std::string& output, output_kind kind,
                          const std::string& permit_text = "permit",
                          const std::string& deny_text = "deny  ");

/// Dotted-quad text of an address, for messages.
std::string model_dotted(uint32_t addr);

/// Canonical IPv6 text of an address (RFC 5952): lower-case groups without
/// leading zeros, the longest run of two or more zero groups (the first of
/// equally long ones) written "::", never a dotted-quad tail.
std::string model_canonical(model_u128 addr);

/// The address of an IPv6 text as the C library's inet_pton reads it
/// (all of `text`, any form it accepts); false when it is no address.
bool model_pton6(const std::string& text, model_u128* addr);

/// The model's functions of one family, for checks written once over both:
/// `model_ipv4` and `model_ipv6`, with the option that picks the family.
#define TENVIK_MODEL_FAMILY(NAME, ADDR, SUFFIX, OPTION)                      \
  struct NAME {                                                              \
    typedef ADDR addr;                                                       \
    typedef basic_model_block<ADDR> block;                                   \
    typedef basic_acl_entry<ADDR> entry;                                     \
    static constexpr int family = OPTION;                                    \
    static std::vector<block> blocks(const std::string& in, bool invert) {   \
      return model_blocks##SUFFIX(in, invert);                               \
    }                                                                        \
    static uint64_t block_count(const std::string& in, bool invert) {        \
      return model_block_count##SUFFIX(in, invert);                          \
    }                                                                        \
    static std::string warnings(const std::string& in, bool invert) {        \
      return model_warnings##SUFFIX(in, invert);                             \
    }                                                                        \
    static std::string trace(const std::string& in, bool invert) {           \
      return model_trace##SUFFIX(in, invert);                                \
    }                                                                        \
    static bool parse(const std::string& out, bool prefix_format,            \
                      const std::string& permit, const std::string& deny,    \
                      std::vector<entry>* entries, std::string* error) {     \
      return prefix_format                                                   \
                 ? parse_prefix_entries##SUFFIX(out, entries, error)         \
                 : parse_entries##SUFFIX(out, permit, deny, entries, error); \
    }                                                                        \
    static std::string check(const std::string& in, bool invert,             \
                             const std::string& out, output_kind kind,       \
                             const std::string& permit,                      \
                             const std::string& deny) {                      \
      return check_output##SUFFIX(in, invert, out, kind, permit, deny);      \
    }                                                                        \
  };
TENVIK_MODEL_FAMILY(model_ipv4, uint32_t, , 4)
TENVIK_MODEL_FAMILY(model_ipv6, model_u128, 6, 6)
#undef TENVIK_MODEL_FAMILY

/// Text of an address of either family, for messages.
inline std::string model_text(uint32_t addr) { return model_dotted(addr); }
inline std::string model_text(model_u128 addr) { return model_canonical(addr); }

#endif  // TENVIK_MODEL_H_
