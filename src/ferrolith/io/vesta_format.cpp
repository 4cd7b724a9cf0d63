#include "ferrolith/io/vesta_format.hpp"

#include "ferrolith/io/text_fields.hpp"

#include <unordered_map>

namespace ferrolith::io {

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

VestaBlocks split_vesta_blocks(const std::vector<std::string_view>& lines) {
    VestaBlocks blocks;
    blocks.keys.emplace_back(kVestaInitialBlock);
    blocks.lines.emplace_back();
    // Real files have a few dozen distinct keys but may repeat them (several
    // phases); a map keeps a file of many keyword lines linear.
    std::unordered_map<std::string, std::size_t> index_of;
    index_of.emplace(std::string(kVestaInitialBlock), 0);
    std::size_t current = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t key_length = vesta_key_length(lines[i]);
        if (key_length != 0) {
            std::string key(lines[i].substr(0, key_length));
            auto [found, inserted] = index_of.emplace(key, blocks.keys.size());
            if (inserted) {
                blocks.keys.push_back(std::move(key));
                blocks.lines.emplace_back();
            }
            current = found->second;
        }
        blocks.lines[current].push_back(i);
    }
    return blocks;
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
