// The VESTA structure file: its block layout and the fields of the blocks the
// reader interprets. Lines are UTF-8 views that include their terminators.
//
// A line opens a block when it starts with a run of four or more capitals A-Z;
// the run is the block key. Lines before the first keyword line form the
// initial block. A key that opens a block again continues its earlier list.
#pragma once

#include "ferrolith/core/outcome.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ferrolith::io {

/// Key of the block holding the lines before the first keyword line.
inline constexpr std::string_view kVestaInitialBlock = "#VESTA_FORMAT_VERSION";

/// Key of the block that opens each phase of a file.
inline constexpr std::string_view kVestaPhaseBlock = "CRYSTAL";

/// Length in bytes of the block key at the start of `line` (the run of capitals
/// A-Z, when it is at least 4 long), 0 when the line does not open a block.
std::size_t vesta_key_length(std::string_view line);

/// A stretch of consecutive lines of one block key, in file order.
struct VestaRun {
    std::size_t key;   ///< index into VestaBlocks::keys
    std::size_t count; ///< number of lines
};

/// The lines of a file grouped by block key.
struct VestaBlocks {
    /// Keys in the order of their first appearance; keys[0] is the initial block.
    std::vector<std::string> keys;
    /// For each key, the indices (into the file's lines) of its lines in file
    /// order, the keyword lines included.
    std::vector<std::vector<std::size_t>> lines;
    /// The file as consecutive runs of one key each (adjacent blocks of the
    /// same key, such as LIGHT0 and LIGHT1, form one run). An empty initial
    /// block has no run.
    std::vector<VestaRun> runs;
    /// Number of phases: the keyword lines of the CRYSTAL block (0 when absent).
    std::size_t phases = 0;
    /// Index of the first line after the first phase: the second CRYSTAL
    /// keyword line, or the number of lines for a file of one phase.
    std::size_t first_phase_end = 0;

    /// Position of `key` in `keys`, if the file has that block.
    std::optional<std::size_t> find(std::string_view key) const;
    /// True when writing the blocks key by key gives the lines in file order:
    /// no key comes back after a block of another key.
    bool keys_in_file_order() const;
    /// The lines of block `key` that belong to the first phase.
    std::vector<std::size_t> first_phase_lines(std::size_t key) const;
};

/// Groups the lines of a file into blocks. A UTF-8 byte order mark at the
/// start of the first line does not hide its keyword.
VestaBlocks split_vesta_blocks(const std::vector<std::string_view>& lines);

/// One piece of the written file: `count` lines of block `key` from line `begin` of its list.
struct VestaSlice {
    std::size_t key;
    std::size_t begin;
    std::size_t count;
};

/// The order in which to write the blocks `keys` (with `sizes` lines each) so
/// that the file comes out as it was read, from the runs recorded when it was
/// read (key name and line count, in file order). Fails when the runs no
/// longer describe the blocks: keys added, removed or reordered, or line
/// counts changed; the writer then writes the blocks key by key.
core::Outcome<std::vector<VestaSlice>>
vesta_file_order(const std::vector<std::string>& keys, const std::vector<std::size_t>& sizes,
                 const std::vector<std::pair<std::string, std::size_t>>& runs);

/// The whitespace-separated fields of the data line of a CELLP block (its
/// first line after the keyword line), or a failure naming the block and the
/// 1-based line of its keyword line. `block` holds line indices into `lines`.
core::Outcome<std::vector<std::string_view>>
vesta_cell_fields(const std::vector<std::string_view>& lines,
                  const std::vector<std::size_t>& block);

/// The first field of the data line of a GROUP block (the space-group number
/// as text), or a failure naming the block and the line.
core::Outcome<std::string_view> vesta_group_field(const std::vector<std::string_view>& lines,
                                                  const std::vector<std::size_t>& block);

/// The fields of one site line of the STRUC block that the reader uses.
struct VestaSiteFields {
    std::size_t line;                       ///< index of the line in the file
    std::string_view symbol;                ///< field 2: chemical symbol
    std::array<std::string_view, 3> coords; ///< fields 5-7: fractional x, y, z (text)
};

/// Site lines of a STRUC block: every line after the first (the keyword line)
/// with at least 8 whitespace-separated fields, in order. `block` holds the
/// block's line indices into `lines`.
std::vector<VestaSiteFields> vesta_site_fields(const std::vector<std::string_view>& lines,
                                               const std::vector<std::size_t>& block);

} // namespace ferrolith::io
