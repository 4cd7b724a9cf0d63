#include "ferrolith/properties/cij_text.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

namespace ferrolith::properties {

namespace {

using Result = core::Outcome<Matrix6>;

// The blank- or comma-separated tokens of a line.
std::vector<std::string_view> tokens_of(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t k = 0;
    auto separator = [](char ch) {
        return ch == ' ' || ch == '\t' || ch == ',' || ch == '\r' || ch == '\n';
    };
    while (k < line.size()) {
        while (k < line.size() && separator(line[k]))
            ++k;
        const std::size_t start = k;
        while (k < line.size() && !separator(line[k]))
            ++k;
        if (k > start)
            out.push_back(line.substr(start, k - start));
    }
    return out;
}

// A finite decimal number that fills the whole token.
std::optional<double> number_of(std::string_view token) {
    const std::string text(token);
    char* end = nullptr;
    errno = 0;
    const double x = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(x)) {
        return std::nullopt;
    }
    return x;
}

// Voigt index of an OUTCAR direction label, or -1.
int voigt_of_label(std::string_view label) {
    static constexpr std::array<std::string_view, 6> kLabels{"XX", "YY", "ZZ", "YZ", "ZX", "XY"};
    for (int k = 0; k < 6; ++k) {
        if (label == kLabels[static_cast<std::size_t>(k)])
            return k;
    }
    return -1;
}

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

} // namespace

bool has_outcar_moduli(const std::vector<std::string_view>& lines) {
    return std::any_of(lines.begin(), lines.end(), [](std::string_view line) {
        return line.find(kOutcarModuliTitle) != std::string_view::npos;
    });
}

bool looks_like_outcar(const std::vector<std::string_view>& lines) {
    const std::size_t head = std::min<std::size_t>(lines.size(), 5);
    return std::any_of(
        lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(head),
        [](std::string_view line) { return line.find(" vasp.") != std::string_view::npos; });
}

core::Outcome<Matrix6> parse_outcar_moduli(const std::vector<std::string_view>& lines) {
    // A relaxation run prints the block once; should several appear, the
    // last is the final one.
    std::size_t title = lines.size();
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].find(kOutcarModuliTitle) != std::string_view::npos)
            title = k;
    }
    if (title == lines.size()) {
        return Result::fail("no \"TOTAL ELASTIC MODULI\" block");
    }
    std::size_t k = title + 1;
    while (k < lines.size() && tokens_of(lines[k]).empty())
        ++k;
    const std::vector<std::string_view> header =
        k < lines.size() ? tokens_of(lines[k]) : std::vector<std::string_view>{};
    if (header.size() != 7 || header[0] != "Direction") {
        return Result::fail("expected the column labels \"Direction XX YY ZZ XY YZ ZX\"", k + 1);
    }
    std::array<int, 6> column{};
    std::array<bool, 6> seen_column{};
    for (std::size_t c = 0; c < 6; ++c) {
        const int v = voigt_of_label(header[c + 1]);
        if (v < 0 || seen_column[static_cast<std::size_t>(v)]) {
            return Result::fail("unknown or repeated column label " + quoted(header[c + 1]), k + 1);
        }
        seen_column[static_cast<std::size_t>(v)] = true;
        column[c] = v;
    }
    Matrix6 c{};
    std::array<bool, 6> seen_row{};
    std::size_t rows = 0;
    for (++k; k < lines.size() && rows < 6; ++k) {
        const std::vector<std::string_view> t = tokens_of(lines[k]);
        if (t.empty() || t[0].find_first_not_of('-') == std::string_view::npos) {
            continue; // the rule under the labels
        }
        const int r = voigt_of_label(t[0]);
        if (r < 0 || seen_row[static_cast<std::size_t>(r)]) {
            return Result::fail("unknown or repeated row label " + quoted(t[0]), k + 1);
        }
        if (t.size() != 7) {
            return Result::fail("expected a label and 6 numbers, found " +
                                    std::to_string(t.size() - 1) + " values",
                                k + 1);
        }
        seen_row[static_cast<std::size_t>(r)] = true;
        for (std::size_t j = 0; j < 6; ++j) {
            const std::optional<double> x = number_of(t[j + 1]);
            if (!x) {
                return Result::fail("not a number: " + quoted(t[j + 1]), k + 1);
            }
            // kBar to GPa.
            c[static_cast<std::size_t>(r)][static_cast<std::size_t>(column[j])] = *x / 10.0;
        }
        ++rows;
    }
    if (rows < 6) {
        return Result::fail("the \"TOTAL ELASTIC MODULI\" block ends after " +
                                std::to_string(rows) + " of 6 rows",
                            k);
    }
    return Result::ok(c);
}

core::Outcome<Matrix6> parse_matrix_text(const std::vector<std::string_view>& lines) {
    Matrix6 c{};
    std::size_t rows = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        std::string_view line = lines[k];
        line = line.substr(0, line.find('#'));
        const std::vector<std::string_view> t = tokens_of(line);
        if (t.empty()) {
            continue;
        }
        if (rows == 6) {
            return Result::fail("more than 6 rows in a 6x6 matrix", k + 1);
        }
        if (t.size() != 6) {
            return Result::fail("expected 6 numbers in a row, found " + std::to_string(t.size()),
                                k + 1);
        }
        for (std::size_t j = 0; j < 6; ++j) {
            const std::optional<double> x = number_of(t[j]);
            if (!x) {
                return Result::fail("not a number: " + quoted(t[j]), k + 1);
            }
            c[rows][j] = *x;
        }
        ++rows;
    }
    if (rows != 6) {
        return Result::fail("expected 6 rows of 6 numbers, found " + std::to_string(rows) +
                            " rows");
    }
    return Result::ok(c);
}

double asymmetry(const Matrix6& c) {
    double worst = 0.0;
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t j = 0; j < i; ++j)
            worst = std::max(worst, std::abs(c[i][j] - c[j][i]));
    return worst;
}

double zener_ratio(const Matrix6& c, double tolerance) {
    double scale = 0.0;
    for (const auto& row : c)
        for (double x : row)
            scale = std::max(scale, std::abs(x));
    const double tol = tolerance * scale;
    auto same = [tol](double a, double b) { return std::abs(a - b) <= tol; };
    bool cubic = same(c[0][0], c[1][1]) && same(c[0][0], c[2][2]) && same(c[0][1], c[0][2]) &&
                 same(c[0][1], c[1][2]) && same(c[3][3], c[4][4]) && same(c[3][3], c[5][5]);
    for (std::size_t i = 0; i < 6; ++i) {
        for (std::size_t j = 0; j < 6; ++j) {
            const bool normal_block = i < 3 && j < 3;
            if (!normal_block && i != j && std::abs(c[i][j]) > tol)
                cubic = false;
        }
    }
    const double split = c[0][0] - c[0][1];
    if (!cubic || !(std::abs(split) > tol)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return 2.0 * c[3][3] / split;
}

double universal_anisotropy(const Moduli& m) {
    return 5.0 * m.shear_voigt / m.shear_reuss + m.bulk_voigt / m.bulk_reuss - 6.0;
}

} // namespace ferrolith::properties
