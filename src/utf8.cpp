#include "utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavori {
namespace {

// One step of the decoder at `at`: how many bytes it covers, and whether they
// form a well-formed sequence. An ill-formed step covers the maximal subpart
// (the longest prefix of a well-formed sequence, at least one byte).
struct Step {
    std::size_t length;
    bool valid;
};

Step next_step(std::string_view bytes, std::size_t at) noexcept {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
        return {1, true};
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // range of the second byte (Table 3-7)
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return {1, false};
    }
    std::size_t covered = 1;
    while (covered < length && at + covered < bytes.size()) {
        const auto next = static_cast<unsigned char>(bytes[at + covered]);
        const bool in_range = covered == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
        if (!in_range) {
            break;
        }
        ++covered;
    }
    return {covered, covered == length};
}

// The end of the run of ASCII bytes from `at`, which is most of any text
// the module reads: eight bytes per test instead of a decoder step each.
std::size_t skip_ascii(std::string_view bytes, std::size_t at) noexcept {
    constexpr std::uint64_t high_bits = 0x8080808080808080u;
    std::uint64_t word = 0;
    while (at + sizeof word <= bytes.size()) {
        std::memcpy(&word, bytes.data() + at, sizeof word);
        if ((word & high_bits) != 0) {
            break;
        }
        at += sizeof word;
    }
    while (at < bytes.size() && static_cast<unsigned char>(bytes[at]) < 0x80) {
        ++at;
    }
    return at;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
    for (std::size_t at = skip_ascii(bytes, 0); at < bytes.size(); at = skip_ascii(bytes, at)) {
        const Step step = next_step(bytes, at);
        if (!step.valid) {
            return false;
        }
        at += step.length;
    }
    return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t clean_from = 0;  // start of the run of valid bytes not yet copied
    for (std::size_t at = skip_ascii(bytes, 0); at < bytes.size(); at = skip_ascii(bytes, at)) {
        const Step step = next_step(bytes, at);
        if (!step.valid) {
            text.append(bytes.substr(clean_from, at - clean_from));
            text.append("\xEF\xBF\xBD");
            clean_from = at + step.length;
        }
        at += step.length;
    }
    text.append(bytes.substr(clean_from));
    return text;
}

}  // namespace tavori
