// HMAC-SHA-256 against a second computation: OpenSSL's own one-shot HMAC.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "signing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte says where the key ends.
    if (size == 0) {
        return 0;
    }
    const std::size_t key_size = std::min<std::size_t>(data[0], size - 1);
    const std::string_view key(reinterpret_cast<const char*>(data + 1), key_size);
    const std::string_view message(reinterpret_cast<const char*>(data + 1 + key_size), size - 1 - key_size);
    auto signature = tavori::hmac_sign(key, message);
    unsigned char expected[32];
    std::size_t expected_size = 0;
    // OpenSSL wants a pointer even for an empty key or message.
    const void* key_bytes = key.empty() ? "" : key.data();
    const auto* message_bytes = reinterpret_cast<const unsigned char*>(message.empty() ? "" : message.data());
    if (!signature ||
        EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key_bytes, key.size(), message_bytes,
                  message.size(), expected, sizeof expected, &expected_size) == nullptr ||
        *signature != tavori::hex_encode({expected, expected_size})) {
        std::abort();
    }
    return 0;
}
