#pragma once
// The lattice's geometry, in one place: a width x height rectangle of sites
// numbered row-major (site = row * width + col, row 0 first), each with four
// neighbours, left, up, right and down, wrapping at the edges.
//
// The wrap itself is before() and after() below. Everything that finds a
// neighbour is built on them, in two encodings:
// - site indices, as offsets from the site (neighbour_offsets): the
//   neighbour list, the Metropolis update and the observables' walk over
//   rows use these;
// - the Wolff update's pending entries, site and column in one integer
//   (ClusterGeometry): its expansion visits millions of neighbours per
//   call, and with the column carried along each neighbour's entry is one
//   addition away and its edge test needs no division. Its steps are the
//   same as neighbour_offsets', written on entries.

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace spinlattice::model {

using Neighbours = std::array<std::uint64_t, 4>;         // left, up, right, down
using NeighbourOffsets = std::array<std::ptrdiff_t, 4>;  // the same, less the site

// The wrap: the previous and the next of i among `size` positions (a column
// among the width, a row among the height).
constexpr std::uint64_t before(std::uint64_t i, std::uint64_t size) noexcept { return i == 0 ? size - 1 : i - 1; }
constexpr std::uint64_t after(std::uint64_t i, std::uint64_t size) noexcept { return i + 1 == size ? 0 : i + 1; }

// ceil(2^64 / w) for 1 < w < 2^32, else 0: position() then divides by multiplying.
constexpr std::uint64_t width_reciprocal(std::uint64_t w) noexcept {
    return w > 1 && (w >> 32) == 0 ? ~std::uint64_t(0) / w + 1 : 0;
}

// Row and column of site k of a lattice w wide, with w's reciprocal from width_reciprocal().
inline std::array<std::uint64_t, 2> position(std::uint64_t k, std::uint64_t w, std::uint64_t reciprocal) noexcept {
    if (reciprocal != 0 && (k >> 32) == 0) [[likely]] {
        // Exact for 32-bit k and width (Lemire, Kaser and Kurz, "Faster remainder by direct computation").
        using u128 = unsigned __int128;
        const std::uint64_t fraction = reciprocal * k;
        return {std::uint64_t((u128(reciprocal) * k) >> 64), std::uint64_t((u128(fraction) * w) >> 64)};
    }
    if (((k | w) >> 32) == 0)  // 32-bit division is several times cheaper
        return {std::uint32_t(k) / std::uint32_t(w), std::uint32_t(k) % std::uint32_t(w)};
    return {k / w, k % w};
}

// Whether site (row, col) of a w x h lattice has a neighbour across an edge.
// Unsigned: column and row 0 wrap to the top. One expectation on the whole
// test keeps the common case on the straight path.
inline bool touches_edge(std::uint64_t row, std::uint64_t col, std::uint64_t w, std::uint64_t h) noexcept {
    return __builtin_expect(col - 1 >= w - 2 || row - 1 >= h - 2, 0);
}

// Away from the edges (nearly every site of a large lattice) the offsets are constants.
inline NeighbourOffsets interior_offsets(std::uint64_t w) noexcept {
    const std::ptrdiff_t wide = std::ptrdiff_t(w);
    return {-1, -wide, 1, wide};
}

// The offsets from site (row, col) of a w x h lattice of n sites to its
// neighbours, for any site: before() and after() of its column and row, less
// the site's own. Worked out from the last to the first: in this order the
// inline update needs no more registers.
inline NeighbourOffsets neighbour_offsets(std::uint64_t row, std::uint64_t col, std::uint64_t w, std::uint64_t h,
                                          std::uint64_t n) noexcept {
    const std::ptrdiff_t wide = std::ptrdiff_t(w), last_row = std::ptrdiff_t(n - w);
    const std::ptrdiff_t down = row + 1 == h ? -last_row : wide;  // after(row, h) is then row 0
    const std::ptrdiff_t right = col + 1 == w ? 1 - wide : 1;     // after(col, w) is then column 0
    const std::ptrdiff_t up = row == 0 ? last_row : -wide;        // before(row, h) is then the last row
    const std::ptrdiff_t left = col == 0 ? wide - 1 : -1;         // before(col, w) is then the last column
    return {left, up, right, down};
}

// The neighbours of site k at (row, col): left, up, right, down, repeated on
// lattices one or two sites wide or high.
inline Neighbours neighbour_list(std::uint64_t k, std::uint64_t row, std::uint64_t col, std::uint64_t w,
                                 std::uint64_t h) noexcept {
    const NeighbourOffsets at = neighbour_offsets(row, col, w, h, w * h);
    return {k + at[0], k + at[1], k + at[2], k + at[3]};
}

// The Wolff update's pending entries: site + column * 2^bits in one integer
// (bits those of Index, 32 when every site index fits), so that a
// neighbour's entry is one addition away and one store pushes it. Kept as a
// local of the update, so that its values stay in registers.
template <class Index>
class ClusterGeometry {
public:
    using Entry = std::conditional_t<sizeof(Index) == 4, std::uint64_t, unsigned __int128>;
    static constexpr unsigned kIndexBits = 8 * sizeof(Index);
    static constexpr Entry kNextColumn = Entry(1) << kIndexBits;

    ClusterGeometry(std::uint64_t width, std::uint64_t site_count) noexcept
        : width_(Index(width)), last_col_(Index(width - 1)), last_row_(Index(site_count - width)),
          wrap_(Entry(last_col_) * kRight) {}

    static Entry entry(std::uint64_t site, std::uint64_t col) noexcept { return Entry(site) + Entry(col) * kNextColumn; }
    static Index site(Entry e) noexcept { return Index(e); }
    static Index column(Entry e) noexcept { return Index(e >> kIndexBits); }

    // Calls visit(entry) for the left, up, right and down neighbour of e, in
    // that order: the steps of neighbour_offsets. The one branch, on whether e
    // touches an edge, is rarely taken.
    template <class Visit>
    [[gnu::always_inline]] void for_each_neighbour(Entry e, Visit&& visit) const noexcept {
        const Index k = site(e), col = column(e);
        if (Index(col - 1) < Index(last_col_ - 1) && Index(k - width_) < Index(last_row_ - width_)) {
            visit(e - kRight);  // away from every edge, as most sites are
            visit(e - width_);
            visit(e + kRight);
            visit(e + width_);
            return;
        }
        visit(col == 0 ? e + wrap_ : e - kRight);
        visit(k < width_ ? e + last_row_ : e - width_);
        visit(col == last_col_ ? e - wrap_ : e + kRight);
        visit(k >= last_row_ ? e - last_row_ : e + width_);
    }

private:
    static constexpr Entry kRight = kNextColumn + 1;  // the entry one site to the right
    Index width_;
    Index last_col_;
    Index last_row_;  // its first site
    Entry wrap_;      // from the first column to the last
};

}  // namespace spinlattice::model
