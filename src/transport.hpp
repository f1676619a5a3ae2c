// The one HTTP exchange, made through the host's urllib.request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python.hpp"

namespace tavori {

struct HttpAnswer {
    std::uint16_t status;
    std::string body;  // decoded from UTF-8, invalid sequences replaced
};

// One request through urllib.request.urlopen. An HTTP error status is an
// answer like any other; only failures below HTTP (no connection, a malformed
// URL, urllib's own errors) come back as the pending Python exception.
Result<HttpAnswer> http_request(std::string_view url, std::string_view method,
                                std::optional<std::string_view> body);

}  // namespace tavori
