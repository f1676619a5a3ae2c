// The module's JSON reading rules: a strict RFC 8259 parse, the text-member
// and code-member rules, and the service's answer envelope.
//
// The module only ever reads named members of the top-level object, or of the
// object under one top-level member (the answer's `data`), so a reading keeps
// just those while the parser validates the whole text: no document tree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <span>
#include <string>
#include <string_view>

#include "result.hpp"

namespace tavori {

// The parser's description of an error: its own words, then
// " at line L column C" (both from 1, the column in characters).
struct JsonError {
    std::string description;
};

// One kept member, as far as the reading rules need to know it.
struct JsonMember {
    enum class Kind : unsigned char { absent, string, integer, object, other };
    Kind kind = Kind::absent;
    // A string's content, escapes resolved: in place in the text read when
    // the string has no escape (no copy, no allocation), else in the reader.
    std::string_view text;
    std::int64_t integer = 0;  // an integer written without fraction or exponent

    bool present() const noexcept { return kind != Kind::absent; }
};

// Text-member rule: a string's content; the empty text for any other member.
std::string_view text_of(const JsonMember& member) noexcept;

// Code-member rule: the low 32 bits of a signed 64-bit integer; 0 otherwise.
std::int32_t code_of(const JsonMember& member) noexcept;

class MemberReader {
public:
    static constexpr std::size_t max_members = 12;

    // Keeps the top-level members named in `members` and, when `nested` is not
    // empty, the top-level member `nested` and the members of its object named
    // in `nested_members`. The names must outlive the reader.
    explicit MemberReader(std::span<const std::string_view> members, std::string_view nested = {},
                          std::span<const std::string_view> nested_members = {});

    // Parses `text`, which must be valid UTF-8, as exactly one JSON value: no
    // extensions, no number beyond the range of a double, fewer than 128
    // levels of nesting. Where a name occurs twice in one object, the later
    // member counts. A second read starts afresh. The members' texts point
    // into `text` or into the reader, which must both outlive their use.
    Result<Done, JsonError> read(std::string_view text);

    bool root_is_object() const noexcept { return root_is_object_; }
    const JsonMember& member(std::size_t index) const noexcept { return members_[index]; }
    const JsonMember& nested() const noexcept { return nested_; }
    const JsonMember& nested_member(std::size_t index) const noexcept { return nested_members_[index]; }

private:
    friend class MemberCapture;

    std::span<const std::string_view> member_names_;
    std::string_view nested_name_;
    std::span<const std::string_view> nested_member_names_;
    bool used_ = false;
    bool root_is_object_ = false;
    std::string_view input_;
    std::forward_list<std::string> unescaped_;  // grows in place: texts never move
    std::array<JsonMember, max_members> members_;
    JsonMember nested_;
    std::array<JsonMember, max_members> nested_members_;
};

// A reader for the service's answer: `detail`, and the members of `data`
// named in `data_members`.
MemberReader answer_reader(std::span<const std::string_view> data_members);

// Unwraps the answer (status, body) with a reader from answer_reader. On
// success its nested members are `data`'s; on failure the error is the
// RuntimeError's message: "HTTP {}: {}", "Invalid JSON: {} | body: {}", the
// `detail` text, or "Missing 'data' in response: {}".
Status unwrap_answer(std::uint16_t status, std::string_view body, MemberReader& reader);

}  // namespace tavori
