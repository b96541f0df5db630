#include "binding/bulk_spins.hpp"

#include <bit>
#include <cstring>
#include <memory>

#include "binding/py_ref.hpp"

namespace spinlattice::binding {
namespace {

// A buffer view released on every way out.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* obj) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) == 0;
        return held_;
    }
    Py_buffer& operator*() noexcept { return view_; }
    Py_buffer* operator->() noexcept { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// How to read one item of a buffer: width in bytes, signedness, byte order.
struct ItemLayout {
    std::size_t width;
    bool is_signed;
    bool swapped;  // stored in the other byte order than this machine's
};

// The layout of a struct-module format of one integer item ("b", "<H", "=q",
// ...), or false for anything else (floats, bools, several items, records).
bool integer_layout(const char* format, Py_ssize_t itemsize, ItemLayout& layout) noexcept {
    if (!format) format = "B";  // no format means unsigned bytes
    bool big = std::endian::native == std::endian::big;
    switch (*format) {
        case '@': case '=': ++format; break;
        case '<': big = false; ++format; break;
        case '>': case '!': big = true; ++format; break;
        default: break;
    }
    const char code = format[0];
    if (code == '\0' || format[1] != '\0' || !std::strchr("bBhHiIlLqQnN", code)) return false;
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return false;
    layout = {std::size_t(itemsize), code >= 'a', big != (std::endian::native == std::endian::big)};
    return true;
}

// An item's bits, zero-extended, read as an unsigned integer of its width.
template <class U>
std::uint64_t item_bits(const unsigned char* at, bool swapped) noexcept {
    U value;
    std::memcpy(&value, at, sizeof value);
    if (swapped) {
        if constexpr (sizeof(U) == 2) value = __builtin_bswap16(value);
        if constexpr (sizeof(U) == 4) value = __builtin_bswap32(value);
        if constexpr (sizeof(U) == 8) value = __builtin_bswap64(value);
    }
    return value;
}

void raise_bad_value(const char* caller, std::uint64_t index, std::uint64_t bits, const ItemLayout& layout) {
    const unsigned shift = unsigned(64 - 8 * layout.width);
    if (layout.is_signed)
        PyErr_Format(PyExc_ValueError, "%s expects spins of 1 or -1, but item %llu is %lld", caller,
                     static_cast<unsigned long long>(index),
                     static_cast<long long>(std::int64_t(bits << shift) >> shift));
    else
        PyErr_Format(PyExc_ValueError, "%s expects spins of 1 or -1, but item %llu is %llu", caller,
                     static_cast<unsigned long long>(index), static_cast<unsigned long long>(bits));
}

bool raise_wrong_count(const char* caller, std::uint64_t expected, std::uint64_t given) {
    PyErr_Format(PyExc_ValueError, "%s expects %llu spins (width * height), but was given %llu", caller,
                 static_cast<unsigned long long>(expected), static_cast<unsigned long long>(given));
    return false;
}

// Spins from the bytes of one-byte items, checked in place.
bool spins_from_bytes(model::Spin* spins, std::uint64_t count, const char* caller, const ItemLayout& layout) {
    unsigned bad = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(spins);
    for (std::uint64_t i = 0; i < count; ++i) bad |= unsigned(bytes[i] != 0x01) & unsigned(bytes[i] != 0xFF);
    if (!bad) [[likely]] return true;
    for (std::uint64_t i = 0;; ++i) {
        if (bytes[i] != 0x01 && bytes[i] != 0xFF) {
            raise_bad_value(caller, i, bytes[i], layout);
            return false;
        }
    }
}

// Spins from items wider than a byte: 1 is +1, the all-ones pattern (-1) is -1.
template <class U>
bool spins_from_items(const unsigned char* items, model::SpinField& spins, const char* caller,
                      const ItemLayout& layout) {
    constexpr std::uint64_t minus_one = U(~U(0));
    for (std::uint64_t i = 0; i < spins.size(); ++i) {
        const std::uint64_t bits = item_bits<U>(items + i * sizeof(U), layout.swapped);
        if (bits != 1 && bits != minus_one) [[unlikely]] {
            raise_bad_value(caller, i, bits, layout);
            return false;
        }
        spins[i] = model::Spin(bits == 1 ? 1 : -1);
    }
    return true;
}

bool spins_from_buffer(PyObject* obj, std::uint64_t count, const char* caller, model::SpinField& out) {
    BufferView view;
    if (!view.get(obj)) return false;
    ItemLayout layout;
    if (!integer_layout(view->format, view->itemsize, layout)) {
        PyErr_Format(PyExc_TypeError, "%s expects integers, but the buffer holds items of format '%s'", caller,
                     view->format ? view->format : "B");
        return false;
    }
    const std::uint64_t given = std::uint64_t(view->len) / layout.width;
    if (given != count) return raise_wrong_count(caller, count, given);

    // The bytes are copied out first and only the copy is looked at.
    model::SpinField spins(count);
    std::unique_ptr<unsigned char[]> wide;
    unsigned char* copy = reinterpret_cast<unsigned char*>(spins.data());
    if (layout.width > 1) {
        wide.reset(new unsigned char[std::size_t(view->len)]);
        copy = wide.get();
    }
    if (count != 0 && PyBuffer_ToContiguous(copy, &*view, view->len, 'C') < 0) return false;
    if (layout.width == 1) {
        if (!spins_from_bytes(spins.data(), count, caller, layout)) return false;
    } else {
        const bool ok = layout.width == 2   ? spins_from_items<std::uint16_t>(copy, spins, caller, layout)
                        : layout.width == 4 ? spins_from_items<std::uint32_t>(copy, spins, caller, layout)
                                            : spins_from_items<std::uint64_t>(copy, spins, caller, layout);
        if (!ok) return false;
    }
    out = std::move(spins);
    return true;
}

bool spins_from_sequence(PyObject* obj, std::uint64_t count, const char* caller, model::SpinField& out) {
    // A tuple copy: items can't change or go while __index__ methods run.
    PyRef items(PySequence_Tuple(obj));
    if (!items) return false;
    const std::uint64_t given = std::uint64_t(PyTuple_GET_SIZE(items.get()));
    if (given != count) return raise_wrong_count(caller, count, given);
    model::SpinField spins(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), Py_ssize_t(i));
        PyRef value(PyNumber_Index(item));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // the item's own failure
            PyErr_Format(PyExc_TypeError, "%s expects ints, but item %llu is of type '%s'", caller,
                         static_cast<unsigned long long>(i), Py_TYPE(item)->tp_name);
            return false;
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
        if (overflow == 0 && v == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || (v != 1 && v != -1)) {
            PyErr_Format(PyExc_ValueError, "%s expects spins of 1 or -1, but item %llu is %R", caller,
                         static_cast<unsigned long long>(i), value.get());
            return false;
        }
        spins[i] = model::Spin(v);
    }
    out = std::move(spins);
    return true;
}

}  // namespace

PyObject* spin_bytes(const model::SpinField& spins) noexcept {
    const std::uint64_t n = spins.size();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n));
    if (bytes && n != 0) std::memcpy(PyBytes_AS_STRING(bytes), spins.data(), n);  // +1 is 0x01, -1 is 0xff
    return bytes;
}

bool to_spin_field(PyObject* obj, std::uint64_t count, const char* caller, model::SpinField& out) {
    if (PyObject_CheckBuffer(obj)) return spins_from_buffer(obj, count, caller, out);
    // A str is a sequence of str; a set or a dict has no order to read spins in.
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s expects a buffer of integers or a sequence of ints, not '%s'", caller,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    return spins_from_sequence(obj, count, caller, out);
}

}  // namespace spinlattice::binding
