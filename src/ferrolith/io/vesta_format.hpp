// The VESTA structure file: its block layout and the fields of the blocks the
// reader interprets. Lines are UTF-8 views that include their terminators.
//
// A line opens a block when it starts with a run of four or more capitals A-Z;
// the run is the block key. Lines before the first keyword line form the
// initial block. A key that opens a block again continues its earlier list.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolith::io {

/// Key of the block holding the lines before the first keyword line.
inline constexpr std::string_view kVestaInitialBlock = "#VESTA_FORMAT_VERSION";

/// Length in bytes of the block key at the start of `line` (the run of capitals
/// A-Z, when it is at least 4 long), 0 when the line does not open a block.
std::size_t vesta_key_length(std::string_view line);

/// The lines of a file grouped by block key.
struct VestaBlocks {
    /// Keys in the order of their first appearance; keys[0] is the initial block.
    std::vector<std::string> keys;
    /// For each key, the indices (into the file's lines) of its lines in file
    /// order, the keyword lines included.
    std::vector<std::vector<std::size_t>> lines;

    /// Position of `key` in `keys`, if the file has that block.
    std::optional<std::size_t> find(std::string_view key) const;
};

/// Groups the lines of a file into blocks.
VestaBlocks split_vesta_blocks(const std::vector<std::string_view>& lines);

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
