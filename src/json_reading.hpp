// The module's JSON reading rules: a strict RFC 8259 parse, the text-member
// and code-member rules, and the service's answer envelope.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/value.hpp>

#include "result.hpp"

namespace tavori {

// The parser's description of an error: its own words, then
// " at line L column C" (both from 1, the column in characters).
struct JsonError {
    std::string description;
};

// One parsed document and the storage it lives in. Short documents need no
// allocation at all: the first few KiB come from a buffer inside the object.
class JsonDocument {
public:
    JsonDocument() noexcept;
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    // Parses `text` as exactly one JSON value: no extensions, no number beyond
    // the range of a double, fewer than 128 levels of nesting, the last of
    // duplicate member names kept. The value lives as long as the document.
    Result<const boost::json::value*, JsonError> parse(std::string_view text);

private:
    alignas(std::max_align_t) unsigned char buffer_[4096];
    boost::json::monotonic_resource storage_;
    std::optional<boost::json::value> root_;
};

// Whether `value` is an object that holds a member called `name`.
bool has_member(const boost::json::value& value, std::string_view name) noexcept;

// The member's string content when `value` is an object holding `name` as a
// string; the empty text otherwise.
std::string_view text_member(const boost::json::value& value, std::string_view name) noexcept;

// The low 32 bits of the member when `value` is an object holding `name` as an
// integer (no fraction, no exponent) in the signed 64-bit range; 0 otherwise.
std::int32_t code_member(const boost::json::value& value, std::string_view name) noexcept;

// The service's answer as the `data` value, or the failure (a RuntimeError's
// message): "HTTP {}: {}", "Invalid JSON: {} | body: {}", the `detail` text,
// or "Missing 'data' in response: {}".
Result<const boost::json::value*> unwrap_answer(std::uint16_t status, std::string_view body,
                                                JsonDocument& document);

}  // namespace tavori
