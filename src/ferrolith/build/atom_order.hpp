// Reordering the atoms of large structures without copying their arrays: the
// order numpy's default argsort gives for a key per atom, and a permutation
// applied to per-atom arrays in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrolith::build {

/// The indices that sort `keys` (n small integers, e.g. the rank of each
/// atom's chemical symbol), in exactly the order numpy's default argsort
/// (kind "quicksort": introsort of the indices, median of three, insertion
/// sort up to 16 elements, heapsort past the depth limit) gives for any
/// array whose elements compare as the keys do. Ties keep numpy's order, not
/// their input order, so a structure sorted here is the one numpy would give,
/// atom for atom. `Index` is std::uint32_t for n < 2^32, else std::uint64_t.
template <typename Index>
std::vector<Index> numpy_argsort_order(const std::uint8_t* keys, std::size_t n);

/// A per-atom array to permute: row a holds `row_bytes` bytes at
/// data + a·row_bytes.
struct RowArray {
    void* data = nullptr;
    std::size_t row_bytes = 0;
};

/// Reorders every array so that new row a is old row order[a], in place
/// (cycle by cycle: one row per array and one bit per atom of extra memory).
/// `order` must be a permutation of 0..n-1.
template <typename Index>
void permute_rows(const std::vector<Index>& order, const std::vector<RowArray>& arrays);

} // namespace ferrolith::build
