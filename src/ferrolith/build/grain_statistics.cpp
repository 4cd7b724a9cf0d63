#include "ferrolith/build/grain_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace ferrolith::build {

namespace {

template <class... Args> std::string printf_text(const char* format, Args... args) {
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof buffer) {
        return std::string(buffer, static_cast<std::size_t>(n));
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, args...);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

} // namespace

std::vector<std::size_t> atoms_per_grain(const std::int64_t* grain, std::size_t n_atoms,
                                         std::size_t n_grains) {
    std::vector<std::size_t> counts(n_grains, 0);
    for (std::size_t a = 0; a < n_atoms; ++a) {
        if (grain[a] >= 0 && static_cast<std::size_t>(grain[a]) < n_grains) {
            ++counts[static_cast<std::size_t>(grain[a])];
        }
    }
    return counts;
}

double equivalent_diameter(double volume) {
    return std::cbrt(6.0 * volume / M_PI);
}

std::string grouped_integer(std::size_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    const std::size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    out = digits.substr(0, lead);
    for (std::size_t k = lead; k < digits.size(); k += 3) {
        out += "," + digits.substr(k, 3);
    }
    return out;
}

std::string box_text(const Vec3& box) {
    return printf_text("%g x %g x %g", box[0], box[1], box[2]);
}

std::vector<std::string> grain_summary_lines(const std::vector<double>& volumes,
                                             const std::vector<std::size_t>& counts,
                                             std::size_t n_atoms) {
    const std::size_t n = volumes.size();
    double v_min = HUGE_VAL, v_max = 0, v_sum = 0;
    double d_min = HUGE_VAL, d_max = 0, d_sum = 0;
    std::size_t c_min = SIZE_MAX, c_max = 0;
    for (std::size_t g = 0; g < n; ++g) {
        const double v = volumes[g];
        const double d = equivalent_diameter(v);
        v_min = std::min(v_min, v), v_max = std::max(v_max, v), v_sum += v;
        d_min = std::min(d_min, d), d_max = std::max(d_max, d), d_sum += d;
        c_min = std::min(c_min, counts[g]);
        c_max = std::max(c_max, counts[g]);
    }
    const double nn = static_cast<double>(n);
    return {
        printf_text("Grain volume (Angstrom^3): mean %.1f, min %.1f, max %.1f", v_sum / nn, v_min,
                    v_max),
        printf_text("Equivalent diameter (Angstrom): mean %.2f, min %.2f, max %.2f", d_sum / nn,
                    d_min, d_max),
        printf_text("Atoms per grain: mean %.1f, min ", static_cast<double>(n_atoms) / nn) +
            grouped_integer(c_min) + ", max " + grouped_integer(c_max),
    };
}

std::string grain_table_text(const Vec3& box, const std::vector<Vec3>& nodes,
                             const std::vector<Vec3>& angles,
                             const std::vector<std::size_t>& counts,
                             const std::vector<double>& volumes,
                             const std::vector<GrainTwins>* twins) {
    std::string text = "# Grains of a Voronoi polycrystal in a box of " + box_text(box) +
                       " Angstrom\n"
                       "# grain: index in the per-atom array 'grain'; node x y z (Angstrom);\n"
                       "# orientation: angles in degrees about x, then y, then z;\n"
                       "# atoms; volume of the Voronoi cell (Angstrom^3); diameter of the sphere\n"
                       "# of that volume (Angstrom)\n";
    if (twins != nullptr) {
        text += "# twins: twin boundaries crossing the grain; spacing: mean thickness of\n"
                "# the lamellae lying whole inside it (Angstrom, nan for none)\n";
    }
    text += "# grain           x           y           z       rot_x       rot_y"
            "       rot_z      atoms        volume  diameter";
    text += twins != nullptr ? "  twins   spacing\n" : "\n";
    for (std::size_t g = 0; g < nodes.size(); ++g) {
        text += printf_text("%7zu", g);
        for (double x : nodes[g]) {
            text += printf_text(" %11.4f", x);
        }
        for (double a : angles[g]) {
            text += printf_text(" %11.4f", a);
        }
        text += printf_text(" %10zu %13.2f %9.3f", counts[g], volumes[g],
                            equivalent_diameter(volumes[g]));
        if (twins != nullptr) {
            text += printf_text(" %6zu %9.3f", (*twins)[g].twins, (*twins)[g].mean_spacing);
        }
        text += "\n";
    }
    return text;
}

} // namespace ferrolith::build
