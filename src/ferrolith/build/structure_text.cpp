#include "ferrolith/build/structure_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace ferrolith::build {

namespace {

// printf into the end of `out`.
template <class... Args> void append_format(std::string& out, const char* format, Args... args) {
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, args...);
    out.append(big.data(), static_cast<std::size_t>(n));
}

// Number formatting for the atom lines: std::to_chars gives the digits printf
// gives ("as if by printf" in the C locale) several times faster; printf takes
// over for what to_chars spells differently (inf, nan).

// Appends `text` right-aligned in `width` columns.
void append_padded(std::string& out, const char* text, std::size_t n, std::size_t width) {
    if (n < width) {
        out.append(width - n, ' ');
    }
    out.append(text, n);
}

// "%e" of x.
void append_e(std::string& out, double x) {
    if (!std::isfinite(x)) {
        append_format(out, "%e", x);
        return;
    }
    char buffer[64];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific, 6);
    out.append(buffer, r.ptr);
}

// "%23.17g" of x.
void append_g17(std::string& out, double x) {
    if (!std::isfinite(x)) {
        append_format(out, "%23.17g", x);
        return;
    }
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::general, 17);
    append_padded(out, buffer, static_cast<std::size_t>(r.ptr - buffer), 23);
}

// "%<width>d" of an integer.
void append_integer(std::string& out, long long value, std::size_t width) {
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    append_padded(out, buffer, static_cast<std::size_t>(r.ptr - buffer), width);
}

} // namespace

std::string cfg_header(std::size_t n_atoms, const Mat3& cell, bool velocities,
                       const std::vector<AuxColumns>& aux) {
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
                append_e(out, col.values[a * col.width + c]);
            }
        }
        out += '\n';
    }
}

std::string lammps_data_header(std::size_t n_atoms, const Vec3& box,
                               const std::vector<std::string>& species,
                               const std::vector<double>& masses) {
    std::string out = "(written by ferrolith)\n\n";
    append_format(out, "%zu atoms\n", n_atoms);
    append_format(out, "%zu atom types\n\n", species.size());
    append_format(out, "0.0 %23.17g  xlo xhi\n", box[0]);
    append_format(out, "0.0 %23.17g  ylo yhi\n", box[1]);
    append_format(out, "0.0 %23.17g  zlo zhi\n", box[2]);
    out += "\nMasses\n\n";
    for (std::size_t t = 0; t < species.size(); ++t) {
        append_format(out, "%zu %23.17g # %s\n", t + 1, masses[t], species[t].c_str());
    }
    out += "\nAtoms # atomic\n\n";
    return out;
}

void append_lammps_atoms(std::string& out, std::size_t begin, std::size_t end,
                         const double* positions, const std::int64_t* numbers,
                         const std::vector<int>& type_of) {
    for (std::size_t a = begin; a < end; ++a) {
        append_integer(out, static_cast<long long>(a + 1), 6);
        out += ' ';
        append_integer(out, type_of[static_cast<std::size_t>(numbers[a])], 3);
        for (int c = 0; c < 3; ++c) {
            out += ' ';
            append_g17(out, positions[3 * a + c]);
        }
        out += '\n';
    }
}

} // namespace ferrolith::build
