#pragma once
// The Wolff update's pending sites: each is site + column * 2^bits in one
// integer (bits those of Index), so that a neighbour's entry is one addition
// away and one store pushes it.

#include <cstdint>
#include <type_traits>

namespace spinlattice::model {

template <class Index>
using PendingSite = std::conditional_t<sizeof(Index) == 4, std::uint64_t, unsigned __int128>;

// The entries of the neighbours of a pending site on a lattice of one shape.
// Kept as a local of the update, so that its values stay in registers.
template <class Index>
class PendingGeometry {
public:
    using Entry = PendingSite<Index>;
    static constexpr unsigned kIndexBits = 8 * sizeof(Index);
    static constexpr Entry kNextColumn = Entry(1) << kIndexBits;

    PendingGeometry(std::uint64_t width, std::uint64_t site_count) noexcept
        : width_(Index(width)), last_col_(Index(width - 1)), last_row_(Index(site_count - width)),
          wrap_(Entry(last_col_) * kRight) {}

    static Entry entry(std::uint64_t site, std::uint64_t col) noexcept { return Entry(site) + Entry(col) * kNextColumn; }
    static Index site(Entry e) noexcept { return Index(e); }
    static Index column(Entry e) noexcept { return Index(e >> kIndexBits); }

    // Calls visit(entry) for the left, up, right and down neighbour of e, in
    // that order. The one branch, on whether e touches an edge, is rarely taken.
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
