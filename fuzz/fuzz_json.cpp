// The JSON reading rules on arbitrary bytes: a parse either succeeds or fails
// with a positioned description, and what it keeps is valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_reading.hpp"
#include "utf8.hpp"

namespace {

constexpr std::string_view callback_members[] = {"status", "order_id", "amount", "settle_amount", "reason", "expired"};
constexpr std::string_view data_members[] = {"order_id", "pay_status", "pay_status_text", "amount"};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!tavori::is_valid_utf8(text)) {
        return 0;  // the module only ever reads valid UTF-8
    }
    tavori::MemberReader callback(callback_members);
    auto read = callback.read(text);
    if (read) {
        for (std::size_t i = 0; i < std::size(callback_members); ++i) {
            check(tavori::is_valid_utf8(tavori::text_of(callback.member(i))));
        }
    } else {
        const std::string& description = read.error().description;
        check(description.find(" at line ") != std::string::npos);
        check(description.find(" column ") != std::string::npos);
    }
    tavori::MemberReader answer = tavori::answer_reader(data_members);
    auto unwrapped = tavori::unwrap_answer(200, text, answer);
    check(unwrapped.ok() == (read.ok() && answer.nested().present() &&
                             answer.member(0).kind != tavori::JsonMember::Kind::string));
    return 0;
}
