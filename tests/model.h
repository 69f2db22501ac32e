#ifndef TENVIK_MODEL_H_
#define TENVIK_MODEL_H_

// A slow, independent model of what an input list and a printed access list
// mean, for property tests and the fuzzer. It uses only the standard library
// and shares no code with the program: a fault in the program's parser or
// tree must not be able to hide itself by also being in the model.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One block that an input line names, with the line's final state.
struct model_block {
  uint32_t addr = 0;  // first address of the block (low bits cleared)
  int prefix = 0;     // 0 to 32
  bool permit = false;
};

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

/// Longest-prefix match over a list of blocks, where a later block equal to
/// an earlier one replaces it and an address covered by no block is denied.
class model_table {
 public:
  explicit model_table(const std::vector<model_block>& blocks);
  bool decision(uint32_t addr) const;

 private:
  // Per prefix length, the blocks of that length sorted by address, each
  // with the state of its last occurrence.
  std::vector<std::pair<uint32_t, bool>> by_length_[33];
  std::vector<int> lengths_;  // those that some block has, longest first
};

/// Decision of the input for one address: `model_table(blocks).decision`.
bool model_decision(const std::vector<model_block>& blocks, uint32_t addr);

// One entry of a printed access list.
struct acl_entry {
  bool permit = false;
  uint32_t addr = 0;
  int prefix = 0;
};

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

/// Evaluates the list top to bottom: the first entry containing the
/// address decides; no match denies.
bool first_match(const std::vector<acl_entry>& entries, uint32_t addr);

/// The entries the program prints for these blocks, by a separate
/// reference of its reduction: the tree of the blocks (the whole space
/// denied unless a block says otherwise), every unset node filled from its
/// parent, each node reduced bottom-up by rotation, merge, clearing of
/// states that repeat the parent's and pruning of unset leaves; in
/// positive mode expanded so that only leaves hold states; then every
/// node with a state (in positive mode, every permitting one) in
/// post-order, lower half first.
std::vector<acl_entry> model_listing(const std::vector<model_block>& blocks,
                                     bool positive);

/// What trace bits 2 and 4 print together before the entries: the tree
/// of the blocks as read and after the reduction, each dumped sideways
/// with its counts of denying, permitting and unset nodes.
std::string model_tree_dumps(const std::vector<model_block>& blocks);

struct meaning_difference {
  bool found = false;
  uint32_t addr = 0;    // the lowest address where the meanings differ
  bool input = false;   // what the input decides there
  bool output = false;  // what the access list decides there
};

/// Compares the input's longest-prefix meaning with the list's first-match
/// meaning over all 2^32 addresses, one representative address per interval
/// between consecutive block boundaries of either side.
meaning_difference compare_meanings(const std::vector<model_block>& blocks,
                                    const std::vector<acl_entry>& entries);

/// For a positive-mode list: every entry permits and no two entries
/// overlap. Returns an empty string when that holds, else a description.
std::string check_positive_entries(const std::vector<acl_entry>& entries);

// How a checked output was printed.
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

/// Dotted-quad text of an address, for messages.
std::string model_dotted(uint32_t addr);

#endif  // TENVIK_MODEL_H_
