#pragma once
// A growable list of site indices that keeps its first entries inline, so
// that the small clusters of most calls never touch the heap.

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace spinlattice::model {

class SiteStack {
public:
    SiteStack() = default;
    SiteStack(const SiteStack&) = delete;
    SiteStack& operator=(const SiteStack&) = delete;

    bool empty() const noexcept { return size_ == 0; }
    std::uint64_t size() const noexcept { return size_; }
    const std::uint64_t* begin() const noexcept { return data_; }
    const std::uint64_t* end() const noexcept { return data_ + size_; }

    // Throws std::bad_alloc when the list cannot grow; the list is then unchanged.
    void push(std::uint64_t site) {
        if (size_ == capacity_) [[unlikely]] grow();
        data_[size_++] = site;
    }
    std::uint64_t pop() noexcept { return data_[--size_]; }

private:
    static constexpr std::uint64_t kInline = 256;

    [[gnu::noinline]] void grow() {
        const std::uint64_t capacity = capacity_ * 2;
        auto bigger = std::unique_ptr<std::uint64_t[]>(new std::uint64_t[capacity]);
        std::memcpy(bigger.get(), data_, size_ * sizeof(std::uint64_t));
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    std::uint64_t inline_[kInline];
    std::unique_ptr<std::uint64_t[]> heap_;
    std::uint64_t* data_ = inline_;
    std::uint64_t size_ = 0;
    std::uint64_t capacity_ = kInline;
};

}  // namespace spinlattice::model
