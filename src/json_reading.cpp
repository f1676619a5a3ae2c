#include "json_reading.hpp"

#include <cmath>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/error.hpp>
#include <boost/json/parse_options.hpp>
#include <boost/json/src.hpp>
#include <boost/json/value_stack.hpp>

namespace tavori {
namespace {

namespace json = boost::json;

constexpr std::size_t max_depth = 127;

std::string_view view(json::string_view text) noexcept { return {text.data(), text.size()}; }

// Builds the value as Boost.JSON's own parser does, and refuses a number that
// a double cannot hold where the parser meets it, so that the error carries
// its position (Boost.JSON alone would read it as infinity).
class Builder {
public:
    static constexpr std::size_t max_object_size = json::object::max_size();
    static constexpr std::size_t max_array_size = json::array::max_size();
    static constexpr std::size_t max_key_size = json::string::max_size();
    static constexpr std::size_t max_string_size = json::string::max_size();

    explicit Builder(json::storage_ptr storage) : stack_(storage) { stack_.reset(storage); }

    json::value release() { return stack_.release(); }

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }
    bool on_object_begin(json::error_code&) { return true; }
    bool on_object_end(std::size_t members, json::error_code&) {
        stack_.push_object(members);
        return true;
    }
    bool on_array_begin(json::error_code&) { return true; }
    bool on_array_end(std::size_t items, json::error_code&) {
        stack_.push_array(items);
        return true;
    }
    bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
        stack_.push_chars(part);
        return true;
    }
    bool on_key(json::string_view last, std::size_t, json::error_code&) {
        stack_.push_key(last);
        return true;
    }
    bool on_string_part(json::string_view part, std::size_t, json::error_code&) {
        stack_.push_chars(part);
        return true;
    }
    bool on_string(json::string_view last, std::size_t, json::error_code&) {
        stack_.push_string(last);
        return true;
    }
    bool on_number_part(json::string_view, json::error_code&) { return true; }
    bool on_int64(std::int64_t number, json::string_view, json::error_code&) {
        stack_.push_int64(number);
        return true;
    }
    bool on_uint64(std::uint64_t number, json::string_view, json::error_code&) {
        stack_.push_uint64(number);
        return true;
    }
    bool on_double(double number, json::string_view, json::error_code& error) {
        if (std::isinf(number)) {
            error = json::error::exponent_overflow;
            return false;
        }
        stack_.push_double(number);
        return true;
    }
    bool on_bool(bool flag, json::error_code&) {
        stack_.push_bool(flag);
        return true;
    }
    bool on_null(json::error_code&) {
        stack_.push_null();
        return true;
    }
    bool on_comment_part(json::string_view, json::error_code&) { return true; }
    bool on_comment(json::string_view, json::error_code&) { return true; }

private:
    json::value_stack stack_;
};

std::string describe(const json::error_code& error) {
    if (error == json::error::incomplete) {
        return "unexpected end of input";
    }
    if (error == json::error::extra_data) {
        return "trailing characters after the JSON value";
    }
    if (error == json::error::too_deep) {
        return "nesting of 128 levels or more";
    }
    if (error == json::error::exponent_overflow) {
        return "number out of range";
    }
    if (error == json::error::illegal_leading_surrogate ||
        error == json::error::illegal_trailing_surrogate) {
        return "lone surrogate in a \\u escape";
    }
    if (error == json::error::expected_hex_digit || error == json::error::expected_utf16_escape) {
        return "invalid \\u escape";
    }
    if (error == json::error::syntax) {
        return "syntax error";
    }
    return error.message();
}

// " at line L column C" for a byte offset into valid UTF-8 text.
std::string position(std::string_view text, std::size_t offset) {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') {
            ++line;
            column = 1;
        } else if ((byte & 0xC0) != 0x80) {
            ++column;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

const json::value* member(const json::value& value, std::string_view name) noexcept {
    const json::object* object = value.if_object();
    return object == nullptr ? nullptr : object->if_contains(json::string_view(name.data(), name.size()));
}

}  // namespace

JsonDocument::JsonDocument() noexcept : storage_(buffer_, sizeof buffer_) {}

Result<const json::value*, JsonError> JsonDocument::parse(std::string_view text) {
    json::parse_options options;
    options.max_depth = max_depth;
    json::basic_parser<Builder> parser(options, json::storage_ptr(&storage_));
    json::error_code error;
    const std::size_t consumed = parser.write_some(false, text.data(), text.size(), error);
    // The parser stops after one complete value; whatever it left is not white space.
    if (!error && consumed != text.size()) {
        error = json::error::extra_data;
    }
    if (error) {
        return JsonError{describe(error) + position(text, consumed)};
    }
    root_.emplace(parser.handler().release());
    return &*root_;
}

bool has_member(const json::value& value, std::string_view name) noexcept {
    return member(value, name) != nullptr;
}

std::string_view text_member(const json::value& value, std::string_view name) noexcept {
    const json::value* found = member(value, name);
    if (found == nullptr || !found->is_string()) {
        return {};
    }
    return view(found->get_string());
}

std::int32_t code_member(const json::value& value, std::string_view name) noexcept {
    const json::value* found = member(value, name);
    if (found == nullptr || !found->is_int64()) {
        return 0;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(found->get_int64()));
}

Result<const json::value*> unwrap_answer(std::uint16_t status, std::string_view body,
                                         JsonDocument& document) {
    if (status != 200) {
        return Error::failure("HTTP " + std::to_string(status) + ": " + std::string(body));
    }
    auto parsed = document.parse(body);
    if (!parsed) {
        return Error::failure("Invalid JSON: " + parsed.error().description + " | body: " +
                              std::string(body));
    }
    const json::value& root = **parsed;
    if (const json::value* detail = member(root, "detail"); detail != nullptr && detail->is_string()) {
        return Error::failure(std::string(view(detail->get_string())));
    }
    const json::value* data = member(root, "data");
    if (data == nullptr) {
        return Error::failure("Missing 'data' in response: " + std::string(body));
    }
    return data;
}

}  // namespace tavori
