// Signing and encoding of request values: HMAC-SHA-256 in hex, the
// constant-time signature check, nonces, the form value encoder and the
// amount text.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "result.hpp"

struct evp_md_ctx_st;

namespace tavori {

// An HMAC-SHA-256 as 64 lower-case hex digits, held inline: a signature per
// callback costs no allocation.
struct HexSignature {
    std::array<char, 64> digits;
    std::string_view text() const noexcept { return {digits.data(), digits.size()}; }
};

// An HMAC-SHA-256 key (RFC 2104) with its two padded key blocks already
// hashed: signing then costs the message and one block less per hash, about
// a third of a short message's signature.
class HmacKey {
public:
    // Fails only when libcrypto cannot provide SHA-256 (an internal fault).
    static Result<HmacKey> create(std::string_view key);

    // The message's HMAC. Safe to call from several threads at once: the
    // key's state is only read.
    Result<HexSignature> sign(std::string_view message) const;

private:
    struct ContextFree {
        void operator()(evp_md_ctx_st* context) const noexcept;
    };
    using Context = std::unique_ptr<evp_md_ctx_st, ContextFree>;

    HmacKey(Context inner, Context outer) noexcept : inner_(std::move(inner)), outer_(std::move(outer)) {}

    Context inner_;  // SHA-256 after the block K0 xor ipad
    Context outer_;  // SHA-256 after the block K0 xor opad
};

// HMAC-SHA-256 of the message under the key, as 64 lower-case hex digits.
Result<std::string> hmac_sign(std::string_view key, std::string_view message);

// Two lower-case hex digits per byte, high digit first.
std::string hex_encode(std::span<const unsigned char> bytes);

// Exact comparison of a computed signature with a received one, in time that
// does not depend on where they differ.
bool signatures_equal(std::string_view expected, std::string_view received) noexcept;

// 32 lower-case hex digits of 16 fresh bytes from the operating system.
Result<std::string> generate_nonce();

// RFC 3986 unreserved characters kept, every other byte as "%XX" (upper case).
std::string url_encode(std::string_view text);

// The amount as sent: the shortest digits that read back as the same double,
// positional, never an exponent; "NaN", "inf", "-inf"; "-0" for negative zero.
std::string amount_text(double amount);

}  // namespace tavori
