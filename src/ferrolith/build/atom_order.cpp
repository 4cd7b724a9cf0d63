#include "ferrolith/build/atom_order.hpp"

#include <cstring>
#include <utility>

namespace ferrolith::build {

namespace {

// numpy's threshold: partitions of at most 16 elements (pr - pl <= 15) are
// finished by insertion sort.
constexpr std::ptrdiff_t kSmallQuicksort = 15;
constexpr int kStackSize = 128;

int most_significant_bit(std::size_t n) {
    int depth = 0;
    while (n > 1) {
        n >>= 1;
        ++depth;
    }
    return depth;
}

// numpy's heapsort of the indices [first, first + n) (1-based heap).
/// Moves `tmp` down from slot i of the 1-based heap a[1..n] (numpy's sift-down).
template <typename Index>
void sift_down(const std::uint8_t* v, Index* a, std::ptrdiff_t i, std::ptrdiff_t n, Index tmp) {
    for (std::ptrdiff_t j = i << 1; j <= n;) {
        if (j < n && v[a[j]] < v[a[j + 1]]) {
            j += 1;
        }
        if (v[tmp] < v[a[j]]) {
            a[i] = a[j];
            i = j;
            j += j;
        } else {
            break;
        }
    }
    a[i] = tmp;
}

template <typename Index> void heapsort(const std::uint8_t* v, Index* first, std::ptrdiff_t n) {
    Index* a = first - 1;
    for (std::ptrdiff_t l = n >> 1; l > 0; --l)
        sift_down(v, a, l, n, a[l]);
    for (; n > 1;) {
        const Index tmp = a[n];
        a[n] = a[1];
        n -= 1;
        sift_down(v, a, 1, n, tmp);
    }
}

} // namespace

template <typename Index>
std::vector<Index> numpy_argsort_order(const std::uint8_t* v, std::size_t num) {
    std::vector<Index> order(num);
    for (std::size_t i = 0; i < num; ++i) {
        order[i] = static_cast<Index>(i);
    }
    if (num < 2) {
        return order;
    }
    // Step for step numpy's aquicksort, so that ties come out in its order.
    Index* pl = order.data();
    Index* pr = pl + num - 1;
    Index* stack[kStackSize];
    Index** sptr = stack;
    int depth[kStackSize];
    int* psdepth = depth;
    int cdepth = most_significant_bit(num) * 2;
    for (;;) {
        if (cdepth < 0) {
            heapsort(v, pl, pr - pl + 1);
        } else {
            while ((pr - pl) > kSmallQuicksort) {
                Index* pm = pl + ((pr - pl) >> 1);
                if (v[*pm] < v[*pl]) {
                    std::swap(*pm, *pl);
                }
                if (v[*pr] < v[*pm]) {
                    std::swap(*pr, *pm);
                }
                if (v[*pm] < v[*pl]) {
                    std::swap(*pm, *pl);
                }
                const std::uint8_t vp = v[*pm];
                Index* pi = pl;
                Index* pj = pr - 1;
                std::swap(*pm, *pj);
                for (;;) {
                    do {
                        ++pi;
                    } while (v[*pi] < vp);
                    do {
                        --pj;
                    } while (vp < v[*pj]);
                    if (pi >= pj) {
                        break;
                    }
                    std::swap(*pi, *pj);
                }
                Index* pk = pr - 1;
                std::swap(*pi, *pk);
                // The larger partition waits on the stack.
                if (pi - pl < pr - pi) {
                    *sptr++ = pi + 1;
                    *sptr++ = pr;
                    pr = pi - 1;
                } else {
                    *sptr++ = pl;
                    *sptr++ = pi - 1;
                    pl = pi + 1;
                }
                *psdepth++ = --cdepth;
            }
            for (Index* pi = pl + 1; pi <= pr; ++pi) {
                const Index vi = *pi;
                const std::uint8_t key = v[vi];
                Index* pj = pi;
                Index* pk = pi - 1;
                while (pj > pl && key < v[*pk]) {
                    *pj-- = *pk--;
                }
                *pj = vi;
            }
        }
        if (sptr == stack) {
            break;
        }
        pr = *(--sptr);
        pl = *(--sptr);
        cdepth = *(--psdepth);
    }
    return order;
}

template <typename Index>
void permute_rows(const std::vector<Index>& order, const std::vector<RowArray>& arrays) {
    const std::size_t n = order.size();
    std::vector<bool> placed(n, false);
    std::vector<std::vector<unsigned char>> held(arrays.size());
    for (std::size_t k = 0; k < arrays.size(); ++k) {
        held[k].resize(arrays[k].row_bytes);
    }
    auto row = [&](std::size_t k, std::size_t a) {
        return static_cast<unsigned char*>(arrays[k].data) + a * arrays[k].row_bytes;
    };
    for (std::size_t start = 0; start < n; ++start) {
        if (placed[start] || order[start] == start) {
            placed[start] = true;
            continue;
        }
        // Row `start` is held aside; each row of the cycle then takes the
        // one it should hold, and the last takes the held row.
        for (std::size_t k = 0; k < arrays.size(); ++k) {
            std::memcpy(held[k].data(), row(k, start), arrays[k].row_bytes);
        }
        std::size_t at = start;
        for (;;) {
            placed[at] = true;
            const std::size_t from = order[at];
            if (from == start) {
                for (std::size_t k = 0; k < arrays.size(); ++k) {
                    std::memcpy(row(k, at), held[k].data(), arrays[k].row_bytes);
                }
                break;
            }
            for (std::size_t k = 0; k < arrays.size(); ++k) {
                std::memcpy(row(k, at), row(k, from), arrays[k].row_bytes);
            }
            at = from;
        }
    }
}

template std::vector<std::uint32_t> numpy_argsort_order<std::uint32_t>(const std::uint8_t*,
                                                                       std::size_t);
template std::vector<std::uint64_t> numpy_argsort_order<std::uint64_t>(const std::uint8_t*,
                                                                       std::size_t);
template void permute_rows<std::uint32_t>(const std::vector<std::uint32_t>&,
                                          const std::vector<RowArray>&);
template void permute_rows<std::uint64_t>(const std::vector<std::uint64_t>&,
                                          const std::vector<RowArray>&);

} // namespace ferrolith::build
