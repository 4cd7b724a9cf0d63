#include "ferrolith/build/close_pairs.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace ferrolith::build {

namespace {

// For each cell coordinate along an axis of n cells, the distinct coordinates of
// it and its two neighbours (fewer than three when n < 3, so no cell is visited
// twice).
std::vector<std::vector<long>> neighbour_cells(long n) {
    std::vector<std::vector<long>> table(static_cast<std::size_t>(n));
    for (long c = 0; c < n; ++c) {
        for (long d = -1; d <= 1; ++d) {
            const long k = ((c + d) % n + n) % n;
            auto& out = table[static_cast<std::size_t>(c)];
            if (std::find(out.begin(), out.end(), k) == out.end()) {
                out.push_back(k);
            }
        }
    }
    return table;
}

} // namespace

std::vector<std::uint8_t> keep_apart(const double* positions, std::size_t n, const Vec3& box,
                                     double radius) {
    std::vector<std::uint8_t> keep(n, 1);
    if (n < 2 || !(radius > 0.0)) {
        return keep;
    }
    // Cells no smaller than the radius and holding about one atom each, so that a
    // stencil of 27 cells sees few atoms beyond the radius.
    const double volume = box[0] * box[1] * box[2];
    const double min_width = std::max(radius, std::cbrt(volume / static_cast<double>(n)));
    std::array<long, 3> nc{};
    for (int c = 0; c < 3; ++c) {
        nc[c] = std::max(1L, static_cast<long>(std::floor(box[c] / min_width)));
    }
    const std::size_t n_cells = static_cast<std::size_t>(nc[0] * nc[1] * nc[2]);

    auto wrapped = [&](std::size_t a, int c) {
        double x = positions[3 * a + c];
        x -= box[c] * std::floor(x / box[c]);
        return x >= box[c] ? 0.0 : x;
    };
    auto cell_coord = [&](double x, int c) {
        const long k = static_cast<long>(x / box[c] * static_cast<double>(nc[c]));
        return std::min(k, nc[c] - 1);
    };
    auto cell_index = [&](long x, long y, long z) {
        return static_cast<std::size_t>((x * nc[1] + y) * nc[2] + z);
    };

    // Wrapped positions grouped by cell (counting sort), each with its atom index.
    struct Slot {
        double x, y, z;
        std::size_t atom;
    };
    std::vector<std::uint32_t> cell_of(n);
    std::vector<std::size_t> start(n_cells + 1, 0);
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t c = cell_index(cell_coord(wrapped(a, 0), 0), cell_coord(wrapped(a, 1), 1),
                                         cell_coord(wrapped(a, 2), 2));
        cell_of[a] = static_cast<std::uint32_t>(c);
        ++start[c + 1];
    }
    for (std::size_t c = 0; c < n_cells; ++c) {
        start[c + 1] += start[c];
    }
    std::vector<Slot> slots(n);
    {
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        for (std::size_t a = 0; a < n; ++a) {
            slots[next[cell_of[a]]++] = {wrapped(a, 0), wrapped(a, 1), wrapped(a, 2), a};
        }
    }

    const auto near_x = neighbour_cells(nc[0]);
    const auto near_y = neighbour_cells(nc[1]);
    const auto near_z = neighbour_cells(nc[2]);
    const double r2 = radius * radius;
    const Vec3 half = scale(box, 0.5);
    auto distance2 = [&](const Slot& p, const Slot& q) {
        const double d[3] = {q.x - p.x, q.y - p.y, q.z - p.z};
        double d2 = 0.0;
        for (int k = 0; k < 3; ++k) {
            double dk = d[k];
            if (dk > half[k]) {
                dk -= box[k];
            } else if (dk < -half[k]) {
                dk += box[k];
            }
            d2 += dk * dk;
        }
        return d2;
    };
    // Calls visit(slot) for every slot in the 27 cells around cell `c`.
    auto for_each_near = [&](std::size_t c, auto&& visit) {
        const long cz = static_cast<long>(c % static_cast<std::size_t>(nc[2]));
        const long cy = static_cast<long>((c / static_cast<std::size_t>(nc[2])) %
                                          static_cast<std::size_t>(nc[1]));
        const long cx = static_cast<long>(c / static_cast<std::size_t>(nc[1] * nc[2]));
        for (long x : near_x[static_cast<std::size_t>(cx)]) {
            for (long y : near_y[static_cast<std::size_t>(cy)]) {
                for (long z : near_z[static_cast<std::size_t>(cz)]) {
                    const std::size_t d = cell_index(x, y, z);
                    for (std::size_t s = start[d]; s < start[d + 1]; ++s) {
                        visit(s);
                    }
                }
            }
        }
    };

    // Pass 1, in cell order (memory-friendly): flag every atom that has a
    // neighbour closer than the radius. Usually only a few atoms at the grain
    // boundaries are flagged.
    std::vector<std::uint8_t> crowded(n, 0);
    auto check_pair = [&](const Slot& p, std::size_t t) {
        if (distance2(p, slots[t]) < r2) {
            crowded[p.atom] = 1;
            crowded[slots[t].atom] = 1;
        }
    };
    if (nc[0] >= 3 && nc[1] >= 3 && nc[2] >= 3) {
        // Each pair once: the rest of the own cell and the 13 cells ahead of it.
        std::vector<std::array<long, 3>> ahead;
        for (long dx = -1; dx <= 1; ++dx) {
            for (long dy = -1; dy <= 1; ++dy) {
                for (long dz = -1; dz <= 1; ++dz) {
                    if (std::array<long, 3>{dx, dy, dz} > std::array<long, 3>{0, 0, 0}) {
                        ahead.push_back({dx, dy, dz});
                    }
                }
            }
        }
        // One cell over along an axis of n cells, periodically (no division).
        auto step = [](long c, long d, long n) {
            const long k = c + d;
            return k < 0 ? k + n : (k >= n ? k - n : k);
        };
        for (long cx = 0; cx < nc[0]; ++cx) {
            for (long cy = 0; cy < nc[1]; ++cy) {
                for (long cz = 0; cz < nc[2]; ++cz) {
                    const std::size_t c = cell_index(cx, cy, cz);
                    for (std::size_t s = start[c]; s < start[c + 1]; ++s) {
                        const Slot& p = slots[s];
                        for (std::size_t t = s + 1; t < start[c + 1]; ++t) {
                            check_pair(p, t);
                        }
                        for (const auto& o : ahead) {
                            const std::size_t d =
                                cell_index(step(cx, o[0], nc[0]), step(cy, o[1], nc[1]),
                                           step(cz, o[2], nc[2]));
                            for (std::size_t t = start[d]; t < start[d + 1]; ++t) {
                                check_pair(p, t);
                            }
                        }
                    }
                }
            }
        }
    } else {
        // Thin boxes: neighbour cells repeat, so visit each distinct one and
        // take every pair from its lower slot.
        for (std::size_t c = 0; c < n_cells; ++c) {
            for (std::size_t s = start[c]; s < start[c + 1]; ++s) {
                for_each_near(c, [&](std::size_t t) {
                    if (t > s) {
                        check_pair(slots[s], t);
                    }
                });
            }
        }
    }
    // Pass 2, in atom order, over the flagged atoms only: a kept atom drops the
    // later atoms too close to it.
    for (std::size_t a = 0; a < n; ++a) {
        if (!crowded[a] || !keep[a]) {
            continue;
        }
        const Slot p{wrapped(a, 0), wrapped(a, 1), wrapped(a, 2), a};
        for_each_near(cell_of[a], [&](std::size_t t) {
            const Slot& q = slots[t];
            if (q.atom > a && keep[q.atom] && distance2(p, q) < r2) {
                keep[q.atom] = 0;
            }
        });
    }
    return keep;
}

std::size_t compact_atoms(const std::vector<std::uint8_t>& keep, double* positions,
                          std::int64_t* numbers, std::int64_t* grain) {
    std::size_t out = 0;
    for (std::size_t a = 0; a < keep.size(); ++a) {
        if (!keep[a]) {
            continue;
        }
        if (out != a) {
            positions[3 * out] = positions[3 * a];
            positions[3 * out + 1] = positions[3 * a + 1];
            positions[3 * out + 2] = positions[3 * a + 2];
            numbers[out] = numbers[a];
            grain[out] = grain[a];
        }
        ++out;
    }
    return out;
}

} // namespace ferrolith::build
