// The key-file scan on arbitrary UTF-8 text: a found value is a trimmed piece
// of one line of the text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "key_file.hpp"
#include "utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!tavori::is_valid_utf8(text)) {
        return 0;  // the reader refuses such files before scanning them
    }
    for (const std::string_view name : {"COMMUNITY_KEY", "SPONSOR_KEY"}) {
        const auto value = tavori::extract_assignment(text, name);
        if (!value) {
            continue;
        }
        if (value->size() >= size || value->find('\n') != std::string::npos ||
            text.find(*value) == std::string_view::npos || !tavori::is_valid_utf8(*value)) {
            std::abort();
        }
    }
    return 0;
}
