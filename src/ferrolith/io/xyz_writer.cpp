#include "ferrolith/io/xyz_writer.hpp"

#include "ferrolith/io/number_text.hpp"

namespace ferrolith::io {

void append_extxyz_atoms(std::string& out, std::size_t begin, std::size_t end,
                         const double* positions, const std::int64_t* numbers,
                         const std::vector<std::string>& symbol_of,
                         const std::vector<AuxColumns>& columns) {
    for (std::size_t a = begin; a < end; ++a) {
        const std::string& symbol = symbol_of[static_cast<std::size_t>(numbers[a])];
        out += symbol;
        if (symbol.size() < 2) {
            out.append(2 - symbol.size(), ' ');
        }
        for (int c = 0; c < 3; ++c) {
            out += ' ';
            append_fixed(out, positions[3 * a + c], 8, 16);
        }
        for (const AuxColumns& col : columns) {
            for (std::size_t c = 0; c < col.width; ++c) {
                out += ' ';
                const std::size_t k = a * col.width + c;
                if (col.values != nullptr) {
                    append_fixed(out, col.values[k], 8, 16);
                } else {
                    append_integer(out, col.integers[k], 8);
                }
            }
        }
        out += '\n';
    }
}

} // namespace ferrolith::io
