#pragma once
// The spin field: one signed byte per site, +1 or -1, row-major, owned.

#include <cstdint>
#include <memory>

#include "stop.hpp"

namespace spinlattice::model {

using Spin = std::int8_t;

class SpinField {
public:
    SpinField() = default;
    // Uninitialised storage for n spins; throws std::bad_alloc when it can't be had.
    explicit SpinField(std::uint64_t n) : data_(n ? new Spin[n] : nullptr), size_(n) {}

    std::uint64_t size() const noexcept { return size_; }
    Spin* data() noexcept { return data_.get(); }
    const Spin* data() const noexcept { return data_.get(); }

    Spin operator[](std::uint64_t i) const noexcept { return data_[i]; }
    Spin& operator[](std::uint64_t i) noexcept { return data_[i]; }

    // Checked access for the paths whose index is not already known to be in range.
    Spin at(std::uint64_t i) const {
        if (i >= size_) [[unlikely]] stop_index_out_of_bounds(size_, i);
        return data_[i];
    }

private:
    std::unique_ptr<Spin[]> data_;
    std::uint64_t size_ = 0;
};

}  // namespace spinlattice::model
