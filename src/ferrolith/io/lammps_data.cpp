#include "ferrolith/io/lammps_data.hpp"

#include "ferrolith/io/number_text.hpp"

namespace ferrolith::io {

std::string lammps_data_header(std::size_t n_atoms, const std::array<double, 3>& box,
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
        append_integer(out, static_cast<long long>(a) + 1, 6);
        out += ' ';
        append_integer(out, type_of[static_cast<std::size_t>(numbers[a])], 3);
        for (int c = 0; c < 3; ++c) {
            out += ' ';
            append_g17(out, positions[3 * a + c]);
        }
        out += '\n';
    }
}

void append_per_atom_rows(std::string& out, std::size_t begin, std::size_t end,
                          const std::vector<const std::int64_t*>& columns) {
    for (std::size_t a = begin; a < end; ++a) {
        append_integer(out, static_cast<long long>(a) + 1, 0);
        for (const std::int64_t* column : columns) {
            out += ' ';
            append_integer(out, column[a], 0);
        }
        out += '\n';
    }
}

} // namespace ferrolith::io
