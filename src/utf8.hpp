// UTF-8 rules shared by the key file (which must be valid) and the HTTP
// exchange (whose answers are decoded lossily).
#pragma once

#include <string>
#include <string_view>

namespace tavori {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with one
// U+FFFD (the Unicode Standard's recommended practice, as Python's "replace").
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace tavori
