// The form value encoder and the lossy decoder on arbitrary bytes: encoding
// uses only unreserved characters and escapes, and undoing the escapes gives
// the input back; lossy decoding always yields valid UTF-8 and leaves valid
// input as it is.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "signing.hpp"
#include "utf8.hpp"

namespace {

int hex_value(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string encoded = tavori::url_encode(bytes);
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '%') {
            if (i + 2 >= encoded.size()) {
                std::abort();
            }
            const char high = encoded[i + 1];
            const char low = encoded[i + 2];
            if (std::string_view("0123456789ABCDEF").find(high) == std::string_view::npos ||
                std::string_view("0123456789ABCDEF").find(low) == std::string_view::npos) {
                std::abort();
            }
            decoded.push_back(static_cast<char>(hex_value(high) * 16 + hex_value(low)));
            i += 2;
        } else if (std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~").find(c) ==
                   std::string_view::npos) {
            std::abort();
        } else {
            decoded.push_back(c);
        }
    }
    if (decoded != bytes) {
        std::abort();
    }
    const std::string text = tavori::decode_utf8_lossy(bytes);
    if (!tavori::is_valid_utf8(text) || (tavori::is_valid_utf8(bytes) && text != bytes)) {
        std::abort();
    }
    return 0;
}
