// Unit tests of the pure helpers, for the cases the Python surface cannot
// reach: the key-file scan (keys cannot be read back from a Client), bytes
// that are not UTF-8, and every class of double.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "json_reading.hpp"
#include "key_file.hpp"
#include "signing.hpp"
#include "utf8.hpp"

namespace tavori {
namespace {

std::optional<std::string> community(std::string_view text) {
    return extract_assignment(text, "COMMUNITY_KEY");
}

TEST(ExtractAssignment, QuotedAndBareValues) {
    EXPECT_EQ(community("COMMUNITY_KEY = 'abc'"), "abc");
    EXPECT_EQ(community("COMMUNITY_KEY=\"abc\"\n"), "abc");
    EXPECT_EQ(community("COMMUNITY_KEY = abc   \n"), "abc");
    EXPECT_EQ(community("    COMMUNITY_KEY = 'abc'"), "abc");
    EXPECT_EQ(community("COMMUNITY_KEY: str = 'abc'"), "abc");
}

TEST(ExtractAssignment, QuotesAreRemovedOnlyAsOneMatchingPair) {
    EXPECT_EQ(community("COMMUNITY_KEY = 'abc' # note"), "'abc' # note");
    EXPECT_EQ(community("COMMUNITY_KEY = \"abc'"), "\"abc'");
    EXPECT_EQ(community("COMMUNITY_KEY = 'abc"), "'abc");
    EXPECT_EQ(community("COMMUNITY_KEY = '"), "'");
    EXPECT_EQ(community("COMMUNITY_KEY = ''"), "");
    EXPECT_EQ(community("COMMUNITY_KEY ="), "");
    EXPECT_EQ(community("COMMUNITY_KEY == 'abc'"), "= 'abc'");
    EXPECT_EQ(community("COMMUNITY_KEY = '\"a\\n\"'"), "\"a\\n\"");
    EXPECT_EQ(community("COMMUNITY_KEY = ' a b '"), " a b ");
}

TEST(ExtractAssignment, LinesThatDoNotMatch) {
    EXPECT_EQ(community("COMMUNITY_KEY\nCOMMUNITY_KEY = 'second'"), "second");
    EXPECT_EQ(community("# COMMUNITY_KEY = 'old'\nCOMMUNITY_KEY = 'new'"), "new");
    EXPECT_EQ(community("COMMUNITY_KEY_OLD = 'prefixed'\nCOMMUNITY_KEY = 'exact'"), "prefixed");
    EXPECT_EQ(community("COMMUNITY_KEY = 'first'\nCOMMUNITY_KEY = 'second'"), "first");
    EXPECT_EQ(community("community_key = 'lower'"), std::nullopt);
    EXPECT_EQ(community(""), std::nullopt);
    EXPECT_EQ(community("\n\n"), std::nullopt);
    EXPECT_EQ(community("SPONSOR_KEY = 's'"), std::nullopt);
}

TEST(ExtractAssignment, LineEndings) {
    EXPECT_EQ(community("X = 1\r\nCOMMUNITY_KEY = 'abc'\r\nSPONSOR_KEY = 's'\r\n"), "abc");
    const std::string carriage_returns = "COMMUNITY_KEY = 'c'\rSPONSOR_KEY = 's'\r";
    EXPECT_EQ(community(carriage_returns), "c'\rSPONSOR_KEY = 's");
    EXPECT_EQ(extract_assignment(carriage_returns, "SPONSOR_KEY"), std::nullopt);
    EXPECT_EQ(community("COMMUNITY_KEY = \"c\rd\""), "c\rd");
}

TEST(ExtractAssignment, TrimsUnicodeWhiteSpace) {
    EXPECT_EQ(community("\u3000COMMUNITY_KEY = \u00a0'abc'\u00a0\u2003"), "abc");
    EXPECT_EQ(community("COMMUNITY_KEY = '\u00a0abc\u3000'"), "\u00a0abc\u3000");
    EXPECT_EQ(community("\u0085COMMUNITY_KEY=\u2028abc\u205f"), "abc");
    // U+200B is not White_Space: it stays.
    EXPECT_EQ(community("COMMUNITY_KEY = abc\u200b"), "abc\u200b");
}

TEST(Utf8, Validity) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("a\u00e9\u20ac\U0010ffff"));
    for (const char* bad : {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xe2\x82", "\x80", "\xf8\x88\x80\x80\x80"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    }
}

TEST(Utf8, AsciiRunsOfEveryLengthAndAlignment) {
    for (std::size_t size = 0; size < 40; ++size) {
        std::string text(size, 'a');
        EXPECT_TRUE(is_valid_utf8(text));
        for (std::size_t at = 0; at < size; ++at) {
            text[at] = '\x80';
            EXPECT_FALSE(is_valid_utf8(text)) << size << " " << at;
            text[at] = '\x7f';
        }
    }
}

TEST(Utf8, LossyDecodingReplacesMaximalSubparts) {
    const std::string r = "\xef\xbf\xbd";
    EXPECT_EQ(decode_utf8_lossy("\xff"), r);
    EXPECT_EQ(decode_utf8_lossy("a\xe2\x82" "b"), "a" + r + "b");
    EXPECT_EQ(decode_utf8_lossy("\xf0\x9f\x98"), r);
    EXPECT_EQ(decode_utf8_lossy("\xed\xa0\x80"), r + r + r);
    EXPECT_EQ(decode_utf8_lossy("\xc0\xaf"), r + r);
    EXPECT_EQ(decode_utf8_lossy("\xe2\x82\xac\x80"), "\u20ac" + r);
    EXPECT_EQ(decode_utf8_lossy(""), "");
}

TEST(UrlEncode, EscapesEveryByteButUnreserved) {
    EXPECT_EQ(url_encode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(url_encode("a b+c=d&e/f?g%"), "a%20b%2Bc%3Dd%26e%2Ff%3Fg%25");
    EXPECT_EQ(url_encode(std::string("\0\n\xff\x80", 4)), "%00%0A%FF%80");
    EXPECT_EQ(url_encode("\U0001f600"), "%F0%9F%98%80");
    EXPECT_EQ(url_encode("%41"), "%2541");
    for (int byte = 0; byte < 256; ++byte) {
        const std::string encoded = url_encode(std::string(1, static_cast<char>(byte)));
        EXPECT_TRUE(encoded.size() == 1 || encoded.size() == 3) << byte;
    }
}

TEST(AmountText, EveryClassOfDouble) {
    EXPECT_EQ(amount_text(0.0), "0");
    EXPECT_EQ(amount_text(-0.0), "-0");
    EXPECT_EQ(amount_text(std::nan("")), "NaN");
    EXPECT_EQ(amount_text(-std::nan("")), "NaN");
    EXPECT_EQ(amount_text(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(amount_text(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(amount_text(12.5), "12.5");
    EXPECT_EQ(amount_text(-1234.0), "-1234");
    EXPECT_EQ(amount_text(1e-7), "0.0000001");
    EXPECT_EQ(amount_text(1e21), "1000000000000000000000");
    EXPECT_EQ(amount_text(2.1437929370331352e16), "21437929370331350");
    EXPECT_EQ(amount_text(std::numeric_limits<double>::denorm_min()), "0." + std::string(323, '0') + "5");
    const std::string largest = amount_text(std::numeric_limits<double>::max());
    EXPECT_EQ(largest.size(), 309u);
    EXPECT_EQ(largest.substr(0, 17), "17976931348623157");
}

TEST(HmacSign, Rfc4231Vectors) {
    EXPECT_EQ(*hmac_sign(std::string(20, '\x0b'), "Hi There"),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(*hmac_sign("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(*hmac_sign(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hmac_sign("", "")->size(), 64u);
}

TEST(HexEncode, TwoLowerCaseDigitsPerByte) {
    const unsigned char bytes[] = {0x00, 0x0a, 0xff};
    EXPECT_EQ(hex_encode(bytes), "000aff");
    EXPECT_EQ(hex_encode({}), "");
}

TEST(Nonce, ThirtyTwoLowerCaseHexDigits) {
    const std::string first = *generate_nonce();
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(first, *generate_nonce());
}

TEST(SignaturesEqual, ExactComparison) {
    EXPECT_TRUE(signatures_equal("ab12", "ab12"));
    EXPECT_FALSE(signatures_equal("ab12", "AB12"));
    EXPECT_FALSE(signatures_equal("ab12", "ab1"));
    EXPECT_FALSE(signatures_equal("ab12", "ab12 "));
    EXPECT_TRUE(signatures_equal("", ""));
}

TEST(MemberReader, CodeRuleTakesTheLowThirtyTwoBitsOfSigned64BitIntegers) {
    static constexpr std::string_view names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "missing"};
    MemberReader reader(names);
    ASSERT_TRUE(reader.read(R"({"a": 4294967297, "b": -1, "c": 9223372036854775808,
        "d": -9223372036854775807, "e": 2.0, "f": "2", "g": -0, "h": 2147483648})"));
    const std::int32_t expected[] = {1, -1, 0, 1, 0, 0, 0, -2147483647 - 1, 0};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(code_of(reader.member(i)), expected[i]) << names[i];
    }
}

TEST(MemberReader, KeepsOnlyTheNamedMembersAtTheirLevels) {
    static constexpr std::string_view top[] = {"detail", "x"};
    static constexpr std::string_view inner[] = {"id", "n"};
    MemberReader reader(top, "data", inner);
    ASSERT_TRUE(reader.read(R"({"x": {"id": "not data's"}, "data": {"deep": {"id": "too deep"},
        "list": [{"id": "in a list"}], "id": "kept", "n": 7, "after": {"n": 8}}, "detail": 5})"));
    EXPECT_EQ(reader.member(0).kind, JsonMember::Kind::integer);
    EXPECT_EQ(reader.member(1).kind, JsonMember::Kind::object);
    EXPECT_EQ(reader.nested().kind, JsonMember::Kind::object);
    EXPECT_EQ(text_of(reader.nested_member(0)), "kept");
    EXPECT_EQ(code_of(reader.nested_member(1)), 7);
}

TEST(MemberReader, LaterDuplicatesReplaceEarlierOnesWhole) {
    static constexpr std::string_view top[] = {"s"};
    static constexpr std::string_view inner[] = {"a", "b"};
    MemberReader reader(top, "data", inner);
    ASSERT_TRUE(reader.read(R"({"s": "first", "data": {"a": "1", "b": "2"}, "s": 3, "data": {"b": "\u00e9"}})"));
    EXPECT_EQ(reader.member(0).kind, JsonMember::Kind::integer);
    EXPECT_EQ(text_of(reader.member(0)), "");
    EXPECT_FALSE(reader.nested_member(0).present());
    EXPECT_EQ(text_of(reader.nested_member(1)), "\u00e9");
    ASSERT_TRUE(reader.read(R"({"data": null})"));
    EXPECT_EQ(reader.nested().kind, JsonMember::Kind::other);
    EXPECT_FALSE(reader.member(0).present());
    ASSERT_TRUE(reader.read("[]"));
    EXPECT_FALSE(reader.root_is_object());
    EXPECT_FALSE(reader.nested().present());
}

TEST(MemberReader, RootThatIsNotAnObjectHasNoMembers) {
    static constexpr std::string_view top[] = {"status"};
    MemberReader reader(top);
    ASSERT_TRUE(reader.read(R"([{"status": "paid"}])"));
    EXPECT_FALSE(reader.root_is_object());
    EXPECT_FALSE(reader.member(0).present());
}

TEST(MemberReader, LongAndEscapedStringsArriveWhole) {
    static constexpr std::string_view top[] = {"k"};
    MemberReader reader(top);
    const std::string long_text(100000, 'z');
    const std::string escaped = "{\"k\": \"" + long_text + "\\n\\u20ac\"}";
    ASSERT_TRUE(reader.read(escaped));
    EXPECT_EQ(text_of(reader.member(0)), long_text + "\n\u20ac");
    const std::string plain = "{\"k\": \"" + long_text + "\"}";
    ASSERT_TRUE(reader.read(plain));
    EXPECT_EQ(text_of(reader.member(0)), long_text);
}

}  // namespace
}  // namespace tavori
