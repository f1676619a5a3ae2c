// Signing and encoding of request values: HMAC-SHA-256 in hex, the
// constant-time signature check, nonces, the form value encoder and the
// amount text.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "result.hpp"

namespace tavori {

// HMAC-SHA-256 (RFC 2104) of the message under the key, as 64 lower-case hex
// digits. Fails only when libcrypto cannot provide SHA-256 (an internal fault).
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
