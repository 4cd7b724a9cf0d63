#include "ferrolith/io/vesta_format.hpp"

#include "ferrolith/io/text_fields.hpp"

#include <unordered_map>

namespace ferrolith::io {

namespace {
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
}

std::size_t vesta_key_length(std::string_view line) {
    std::size_t n = 0;
    while (n < line.size() && line[n] >= 'A' && line[n] <= 'Z') {
        ++n;
    }
    return n >= 4 ? n : 0;
}

std::optional<std::size_t> VestaBlocks::find(std::string_view key) const {
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (keys[k] == key) {
            return k;
        }
    }
    return std::nullopt;
}

bool VestaBlocks::keys_in_file_order() const {
    std::vector<bool> seen(keys.size(), false);
    for (const VestaRun& run : runs) {
        if (seen[run.key]) {
            return false;
        }
        seen[run.key] = true;
    }
    return true;
}

std::vector<std::size_t> VestaBlocks::first_phase_lines(std::size_t key) const {
    std::vector<std::size_t> in_phase;
    for (std::size_t line : lines[key]) {
        if (line < first_phase_end) {
            in_phase.push_back(line);
        }
    }
    return in_phase;
}

VestaBlocks split_vesta_blocks(const std::vector<std::string_view>& lines) {
    VestaBlocks blocks;
    blocks.keys.emplace_back(kVestaInitialBlock);
    blocks.lines.emplace_back();
    blocks.first_phase_end = lines.size();
    // Real files have a few dozen distinct keys but may repeat them (several
    // phases); a map keeps a file of many keyword lines linear.
    std::unordered_map<std::string, std::size_t> index_of;
    index_of.emplace(std::string(kVestaInitialBlock), 0);
    std::size_t current = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (i == 0 && line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            line.remove_prefix(kByteOrderMark.size());
        }
        const std::size_t key_length = vesta_key_length(line);
        if (key_length != 0) {
            std::string key(line.substr(0, key_length));
            if (key == kVestaPhaseBlock && ++blocks.phases == 2) {
                blocks.first_phase_end = i;
            }
            auto [found, inserted] = index_of.emplace(std::move(key), blocks.keys.size());
            if (inserted) {
                blocks.keys.push_back(found->first);
                blocks.lines.emplace_back();
            }
            current = found->second;
        }
        blocks.lines[current].push_back(i);
        if (!blocks.runs.empty() && blocks.runs.back().key == current) {
            ++blocks.runs.back().count;
        } else {
            blocks.runs.push_back({current, 1});
        }
    }
    return blocks;
}

core::Outcome<std::vector<VestaSlice>>
vesta_file_order(const std::vector<std::string>& keys, const std::vector<std::size_t>& sizes,
                 const std::vector<std::pair<std::string, std::size_t>>& runs) {
    using Result = core::Outcome<std::vector<VestaSlice>>;
    std::unordered_map<std::string_view, std::size_t> index_of;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        index_of.emplace(keys[k], k);
    }
    std::vector<VestaSlice> slices;
    slices.reserve(runs.size());
    std::vector<std::size_t> used(keys.size(), 0);
    std::size_t first_seen = 0; // keys must first appear in the order of `keys`
    for (const auto& [name, count] : runs) {
        const auto found = index_of.find(name);
        if (found == index_of.end()) {
            return Result::fail("block " + name + " is no longer there");
        }
        const std::size_t key = found->second;
        if (used[key] == 0 && sizes[key] != 0) {
            if (key < first_seen) {
                return Result::fail("the blocks were reordered");
            }
            first_seen = key;
        }
        if (count > sizes[key] - used[key]) {
            return Result::fail("block " + name + " has fewer lines than were read");
        }
        slices.push_back({key, used[key], count});
        used[key] += count;
    }
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (used[k] != sizes[k]) {
            return Result::fail("block " + keys[k] + " has more lines than were read");
        }
    }
    return Result::ok(std::move(slices));
}

namespace {
// The data line of a block: its first line after the keyword line.
core::Outcome<std::size_t> data_line(std::string_view key, const std::vector<std::size_t>& block) {
    if (block.size() < 2) {
        const std::size_t line = block.empty() ? 0 : block[0] + 1;
        return core::Outcome<std::size_t>::fail(std::string(key) + " block (line " +
                                                    std::to_string(line) + ") has no data line.",
                                                line);
    }
    return core::Outcome<std::size_t>::ok(block[1]);
}
} // namespace

core::Outcome<std::vector<std::string_view>>
vesta_cell_fields(const std::vector<std::string_view>& lines,
                  const std::vector<std::size_t>& block) {
    const core::Outcome<std::size_t> line = data_line("CELLP", block);
    if (!line) {
        return line.forward_error<std::vector<std::string_view>>();
    }
    return core::Outcome<std::vector<std::string_view>>::ok(split_fields(lines[*line.value]));
}

core::Outcome<std::string_view> vesta_group_field(const std::vector<std::string_view>& lines,
                                                  const std::vector<std::size_t>& block) {
    const core::Outcome<std::size_t> line = data_line("GROUP", block);
    if (!line) {
        return line.forward_error<std::string_view>();
    }
    const std::vector<std::string_view> fields = split_fields(lines[*line.value]);
    if (fields.empty()) {
        const std::size_t number = *line.value + 1;
        return core::Outcome<std::string_view>::fail("GROUP block: line " + std::to_string(number) +
                                                         " holds no space-group number.",
                                                     number);
    }
    return core::Outcome<std::string_view>::ok(fields[0]);
}

std::vector<VestaSiteFields> vesta_site_fields(const std::vector<std::string_view>& lines,
                                               const std::vector<std::size_t>& block) {
    std::vector<VestaSiteFields> sites;
    std::vector<std::string_view> fields;
    for (std::size_t k = 1; k < block.size(); ++k) {
        const std::size_t line = block[k];
        split_fields(lines[line], fields);
        if (fields.size() < 8) {
            continue; // displacement lines, the closing line of zeros
        }
        sites.push_back({line, fields[1], {fields[4], fields[5], fields[6]}});
    }
    return sites;
}

} // namespace ferrolith::io
