// The amount text on every double: positional digits that read back as the
// same double, never an exponent.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "signing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size != sizeof(double)) {
        return 0;
    }
    double amount = 0;
    std::memcpy(&amount, data, sizeof amount);
    const std::string text = tavori::amount_text(amount);
    if (std::isnan(amount)) {
        return text == "NaN" ? 0 : (std::abort(), 0);
    }
    if (std::isinf(amount)) {
        return text == (amount > 0 ? "inf" : "-inf") ? 0 : (std::abort(), 0);
    }
    if (text.find_first_not_of("-0123456789.") != std::string::npos || text.find('e') != std::string::npos ||
        std::strtod(text.c_str(), nullptr) != amount || std::signbit(amount) != (text.front() == '-') ||
        (text.find('.') != std::string::npos && text.back() == '0')) {
        std::abort();
    }
    return 0;
}
