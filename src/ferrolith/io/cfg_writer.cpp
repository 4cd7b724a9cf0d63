#include "ferrolith/io/cfg_writer.hpp"

#include "ferrolith/io/number_text.hpp"

namespace ferrolith::io {

std::string cfg_header(std::size_t n_atoms, const std::array<std::array<double, 3>, 3>& cell,
                       bool velocities, const std::vector<AuxColumns>& aux) {
    std::string out;
    append_format(out, "Number of particles = %zu\n", n_atoms);
    out += "A = 1.0 Angstrom\n";
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            append_format(out, "H0(%1.1i,%1.1i) = %f A\n", i + 1, j + 1, cell[i][j]);
        }
    }
    std::size_t entries = velocities ? 6 : 3;
    for (const AuxColumns& a : aux) {
        entries += a.width;
    }
    if (!velocities) {
        out += ".NO_VELOCITY.\n";
    }
    append_format(out, "entry_count = %zu\n", entries);
    int k = 0;
    for (const AuxColumns& a : aux) {
        if (a.width == 1) {
            append_format(out, "auxiliary[%i] = %s [a.u.]\n", k++, a.name.c_str());
        } else {
            for (std::size_t c = 0; c < a.width; ++c) {
                if (a.width == 3) {
                    append_format(out, "auxiliary[%i] = %s_%c [a.u.]\n", k++, a.name.c_str(),
                                  static_cast<char>('x' + c));
                } else {
                    append_format(out, "auxiliary[%i] = %s_%1.1i [a.u.]\n", k++, a.name.c_str(),
                                  static_cast<int>(c));
                }
            }
        }
    }
    return out;
}

void append_cfg_atoms(std::string& out, std::size_t begin, std::size_t end, const double* scaled,
                      const double* velocities, const std::int64_t* numbers,
                      const std::vector<AuxColumns>& aux, const std::vector<double>& mass_of,
                      const std::vector<std::string>& symbol_of) {
    // "mass\nsymbol\n" of each element, formatted once.
    std::vector<std::string> lead(symbol_of.size());
    for (std::size_t a = begin; a < end; ++a) {
        const auto z = static_cast<std::size_t>(numbers[a]);
        if (lead[z].empty()) {
            append_format(lead[z], "%f\n%s\n", mass_of[z], symbol_of[z].c_str());
        }
        out += lead[z];
        for (int c = 0; c < 3; ++c) {
            append_e(out, scaled[3 * a + c]);
            out += ' ';
        }
        if (velocities != nullptr) {
            for (int c = 0; c < 3; ++c) {
                out += ' ';
                append_e(out, velocities[3 * a + c]);
            }
            out += ' ';
        }
        for (const AuxColumns& col : aux) {
            for (std::size_t c = 0; c < col.width; ++c) {
                out += ' ';
                const std::size_t k = a * col.width + c;
                append_e(out, col.values != nullptr ? col.values[k]
                                                    : static_cast<double>(col.integers[k]));
            }
        }
        out += '\n';
    }
}

} // namespace ferrolith::io
