#include "json_reading.hpp"

#include <cmath>
#include <functional>
#include <stdexcept>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/error.hpp>
#include <boost/json/parse_options.hpp>
#include <boost/json/src.hpp>

namespace tavori {

namespace json = boost::json;

namespace {

constexpr std::size_t max_depth = 127;
constexpr std::ptrdiff_t not_kept = -1;
constexpr std::string_view envelope_members[] = {"detail"};

std::ptrdiff_t index_of(std::span<const std::string_view> names, std::string_view name) noexcept {
    for (std::size_t i = 0; i < names.size(); ++i) {
        // Length and first letter first: most keys differ in one of them, and
        // a call to memcmp per name was the costliest step of reading a short
        // callback.
        if (names[i].size() == name.size() && (name.empty() || names[i][0] == name[0]) && names[i] == name) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return not_kept;
}

// Whether `part` is a piece of `whole` (std::less_equal orders any two
// pointers, where <= leaves unrelated ones unspecified).
bool lies_within(std::string_view part, std::string_view whole) noexcept {
    const std::less_equal<const char*> not_after;
    return not_after(whole.data(), part.data()) &&
           not_after(part.data() + part.size(), whole.data() + whole.size());
}

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
    if (error == json::error::illegal_leading_surrogate || error == json::error::illegal_trailing_surrogate) {
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

}  // namespace

// The parser's handler: follows the nesting and keeps the selected members.
// Level 1 holds the top-level object's members; level 2, while inside the
// nested member's object, holds that object's members.
class MemberCapture {
public:
    static constexpr std::size_t max_object_size = std::size_t(-1);
    static constexpr std::size_t max_array_size = std::size_t(-1);
    static constexpr std::size_t max_key_size = std::size_t(-1);
    static constexpr std::size_t max_string_size = std::size_t(-1);

    explicit MemberCapture(MemberReader& reader) : reader_(reader) {}

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }

    bool on_object_begin(json::error_code&) {
        if (level_ == 0) {
            reader_.root_is_object_ = true;
        } else if (JsonMember* slot = slot_for_value()) {
            slot->kind = JsonMember::Kind::object;
            if (slot == &reader_.nested_) {
                inside_nested_ = true;
            }
        }
        ++level_;
        return true;
    }
    bool on_object_end(std::size_t, json::error_code&) {
        --level_;
        if (level_ == 1) {
            inside_nested_ = false;
        }
        return true;
    }
    bool on_array_begin(json::error_code&) {
        keep(JsonMember::Kind::other);
        ++level_;
        return true;
    }
    bool on_array_end(std::size_t, json::error_code&) {
        --level_;
        return true;
    }

    bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
        if (names_matter()) {
            pending_.append(part.data(), part.size());
        }
        return true;
    }
    bool on_key(json::string_view last, std::size_t, json::error_code&) {
        if (names_matter()) {
            if (pending_.empty()) {
                choose_slot({last.data(), last.size()});
            } else {
                pending_.append(last.data(), last.size());
                choose_slot(pending_);
                pending_.clear();
            }
        }
        return true;
    }
    bool on_string_part(json::string_view part, std::size_t, json::error_code&) {
        if (slot_for_value() != nullptr) {
            pending_.append(part.data(), part.size());
        }
        return true;
    }
    bool on_string(json::string_view last, std::size_t, json::error_code&) {
        if (JsonMember* slot = slot_for_value()) {
            slot->kind = JsonMember::Kind::string;
            // The parser hands over a string without escapes whole, in place
            // in the input; anything else passed through its own buffer.
            if (pending_.empty() && lies_within({last.data(), last.size()}, reader_.input_)) {
                slot->text = {last.data(), last.size()};
            } else {
                pending_.append(last.data(), last.size());
                slot->text = reader_.unescaped_.emplace_front(std::move(pending_));
                pending_.clear();
            }
        }
        return true;
    }
    bool on_number_part(json::string_view, json::error_code&) { return true; }
    bool on_int64(std::int64_t number, json::string_view, json::error_code&) {
        if (JsonMember* slot = slot_for_value()) {
            slot->kind = JsonMember::Kind::integer;
            slot->integer = number;
        }
        return true;
    }
    bool on_uint64(std::uint64_t, json::string_view, json::error_code&) {
        keep(JsonMember::Kind::other);
        return true;
    }
    bool on_double(double number, json::string_view, json::error_code& error) {
        // Boost.JSON reads a number beyond a double's range as infinity.
        if (std::isinf(number)) {
            error = json::error::exponent_overflow;
            return false;
        }
        keep(JsonMember::Kind::other);
        return true;
    }
    bool on_bool(bool, json::error_code&) {
        keep(JsonMember::Kind::other);
        return true;
    }
    bool on_null(json::error_code&) {
        keep(JsonMember::Kind::other);
        return true;
    }
    bool on_comment_part(json::string_view, json::error_code&) { return true; }
    bool on_comment(json::string_view, json::error_code&) { return true; }

private:
    bool names_matter() const noexcept {
        return (level_ == 1 && reader_.root_is_object_) || (level_ == 2 && inside_nested_);
    }

    void choose_slot(std::string_view name) {
        if (level_ == 1) {
            if (!reader_.nested_name_.empty() && name == reader_.nested_name_) {
                slot_ = &reader_.nested_;
                return;
            }
            const std::ptrdiff_t index = index_of(reader_.member_names_, name);
            slot_ = index == not_kept ? nullptr : &reader_.members_[static_cast<std::size_t>(index)];
        } else {
            const std::ptrdiff_t index = index_of(reader_.nested_member_names_, name);
            slot_ = index == not_kept ? nullptr : &reader_.nested_members_[static_cast<std::size_t>(index)];
        }
    }

    // The slot that the value now beginning fills, if it is kept. A new value
    // of the nested member replaces the earlier one with all its members.
    JsonMember* slot_for_value() {
        if (!names_matter() || slot_ == nullptr) {
            return nullptr;
        }
        if (slot_ == &reader_.nested_) {
            for (JsonMember& member : reader_.nested_members_) {
                member = JsonMember{};
            }
        }
        return slot_;
    }

    void keep(JsonMember::Kind kind) {
        if (JsonMember* slot = slot_for_value()) {
            slot->kind = kind;
        }
    }

    MemberReader& reader_;
    std::size_t level_ = 0;
    bool inside_nested_ = false;
    JsonMember* slot_ = nullptr;
    std::string pending_;
};

MemberReader::MemberReader(std::span<const std::string_view> members, std::string_view nested,
                           std::span<const std::string_view> nested_members)
    : member_names_(members), nested_name_(nested), nested_member_names_(nested_members) {
    if (members.size() > max_members || nested_members.size() > max_members) {
        throw std::length_error("too many JSON members to keep");
    }
}

Result<Done, JsonError> MemberReader::read(std::string_view text) {
    if (used_) {
        root_is_object_ = false;
        members_ = {};
        nested_ = {};
        nested_members_ = {};
        unescaped_.clear();
    }
    used_ = true;
    input_ = text;
    json::parse_options options;
    options.max_depth = max_depth;
    // The module's texts are valid UTF-8 by construction (a Python str's
    // UTF-8, or an answer decoded lossily), so the parser need not check.
    options.allow_invalid_utf8 = true;
    json::basic_parser<MemberCapture> parser(options, *this);
    json::error_code error;
    const std::size_t consumed = parser.write_some(false, text.data(), text.size(), error);
    // The parser stops after one complete value; whatever it left is not white space.
    if (!error && consumed != text.size()) {
        error = json::error::extra_data;
    }
    if (error) {
        return JsonError{describe(error) + position(text, consumed)};
    }
    return Done{};
}

std::string_view text_of(const JsonMember& member) noexcept {
    return member.kind == JsonMember::Kind::string ? member.text : std::string_view();
}

std::int32_t code_of(const JsonMember& member) noexcept {
    if (member.kind != JsonMember::Kind::integer) {
        return 0;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(member.integer));
}

MemberReader answer_reader(std::span<const std::string_view> data_members) {
    return MemberReader(envelope_members, "data", data_members);
}

Status unwrap_answer(std::uint16_t status, std::string_view body, MemberReader& reader) {
    if (status != 200) {
        return Error::failure("HTTP " + std::to_string(status) + ": " + std::string(body));
    }
    if (auto read = reader.read(body); !read) {
        return Error::failure("Invalid JSON: " + read.error().description + " | body: " + std::string(body));
    }
    if (const JsonMember& detail = reader.member(0); detail.kind == JsonMember::Kind::string) {
        return Error::failure(std::string(detail.text));
    }
    if (!reader.nested().present()) {
        return Error::failure("Missing 'data' in response: " + std::string(body));
    }
    return Done{};
}

}  // namespace tavori
