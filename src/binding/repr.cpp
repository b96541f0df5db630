#include "binding/repr.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace spinlattice::binding {

void append_number_text(std::string& out, double x) {
    if (std::isnan(x)) { out += "NaN"; return; }
    if (std::signbit(x)) out += '-';
    x = std::fabs(x);
    if (std::isinf(x)) { out += "inf"; return; }
    if (x == 0.0) { out += "0.0"; return; }

    // Shortest digits as d.ddde[+-]x; the layout around them is ours.
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const std::string_view text(buf, std::size_t(result.ptr - buf));
    const std::size_t e_pos = text.find('e');
    std::string digits;
    digits += text[0];
    if (e_pos > 2) digits.append(text.substr(2, e_pos - 2));
    const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());

    if (x < 1e-4 || x >= 1e16) {
        out += digits[0];
        if (digits.size() > 1) { out += '.'; out.append(digits, 1); }
        out += 'e';
        out += std::to_string(exponent);
        return;
    }
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(std::size_t(-point), '0');
        out += digits;
    } else if (std::size_t(point) >= digits.size()) {
        out += digits;
        out.append(std::size_t(point) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, std::size_t(point));
        out += '.';
        out.append(digits, std::size_t(point));
    }
}

// Fixed text (fixed_texts.hpp).
std::string lattice_text(const model::Lattice& lattice) {
    const std::uint64_t n = lattice.site_count();
    std::string out;
    out.reserve(std::size_t(n) * 4 + 256);
    out += "Lattice { width: ";
    out += std::to_string(lattice.width);
    out += ", height: ";
    out += std::to_string(lattice.height);
    out += ", sites: [";
    const model::Spin* s = lattice.sites.data();
    for (std::uint64_t i = 0; i < n; ++i) {
        if (i) out += ", ";
        out += s[i] < 0 ? "-1" : "1";
    }
    out += "], temperature: ";
    append_number_text(out, lattice.temperature());
    out += ", h_z: ";
    append_number_text(out, lattice.h_z());
    out += ", rng: StdRng(ChaCha12Rng { rng: BlockRng { core: ChaChaXCore {}, result_len: 64, index: ";
    out += std::to_string(lattice.rng.index());
    out += " } }) }";
    return out;
}

}  // namespace spinlattice::binding
