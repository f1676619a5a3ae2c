#include "signing.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/random.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "descriptor.hpp"

namespace tavori {
namespace {

constexpr std::size_t block_size = 64;   // SHA-256 block
constexpr std::size_t digest_size = 32;  // SHA-256 output
constexpr char lower_hex[] = "0123456789abcdef";
constexpr char upper_hex[] = "0123456789ABCDEF";

// Fetching the algorithm costs far more than hashing a short message, so it
// is done once, on first use, and kept for the life of the process.
const EVP_MD* sha256() noexcept {
    static std::atomic<EVP_MD*> cached{nullptr};
    if (EVP_MD* known = cached.load(std::memory_order_acquire)) {
        return known;
    }
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched == nullptr) {
        return nullptr;
    }
    EVP_MD* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, fetched, std::memory_order_acq_rel)) {
        EVP_MD_free(fetched);
        return expected;
    }
    return fetched;
}

Status fill_from_urandom(unsigned char* out, std::size_t size) {
    const Descriptor device(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (device.get() < 0) {
        return Error::internal(std::string("cannot open /dev/urandom: ") + std::strerror(errno));
    }
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(device.get(), out + filled, size - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return Error::internal(std::string("cannot read /dev/urandom: ") +
                                   std::strerror(got < 0 ? errno : EIO));
        }
        filled += static_cast<std::size_t>(got);
    }
    return Done{};
}

// Fresh bytes straight from the kernel for every call: no state in the
// process, so a forked child or another thread can never repeat a nonce.
Status fill_random(unsigned char* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(out + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOSYS) {
                return fill_from_urandom(out + filled, size - filled);
            }
            return Error::internal(std::string("getrandom failed: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    return Done{};
}

void write_hex(std::span<const unsigned char> bytes, char* out) noexcept {
    for (const unsigned char byte : bytes) {
        *out++ = lower_hex[byte >> 4];
        *out++ = lower_hex[byte & 0x0F];
    }
}

bool is_unreserved(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

void HmacKey::ContextFree::operator()(evp_md_ctx_st* context) const noexcept {
    EVP_MD_CTX_free(context);
}

Result<HmacKey> HmacKey::create(std::string_view key) {
    const EVP_MD* md = sha256();
    if (md == nullptr) {
        return Error::internal("libcrypto cannot provide SHA-256");
    }
    Context inner(EVP_MD_CTX_new());
    Context outer(EVP_MD_CTX_new());
    if (!inner || !outer) {
        return Error::internal("cannot allocate a digest context");
    }
    std::array<unsigned char, block_size> key_block{};
    bool ok = true;
    if (key.size() > block_size) {
        ok = EVP_DigestInit_ex2(inner.get(), md, nullptr) == 1 &&
             EVP_DigestUpdate(inner.get(), key.data(), key.size()) == 1 &&
             EVP_DigestFinal_ex(inner.get(), key_block.data(), nullptr) == 1;
    } else if (!key.empty()) {
        std::memcpy(key_block.data(), key.data(), key.size());
    }
    std::array<unsigned char, block_size> pad{};
    for (std::size_t i = 0; i < block_size; ++i) {
        pad[i] = key_block[i] ^ 0x36;
    }
    ok = ok && EVP_DigestInit_ex2(inner.get(), md, nullptr) == 1 &&
         EVP_DigestUpdate(inner.get(), pad.data(), pad.size()) == 1;
    for (std::size_t i = 0; i < block_size; ++i) {
        pad[i] = key_block[i] ^ 0x5C;
    }
    ok = ok && EVP_DigestInit_ex2(outer.get(), md, nullptr) == 1 &&
         EVP_DigestUpdate(outer.get(), pad.data(), pad.size()) == 1;
    OPENSSL_cleanse(key_block.data(), key_block.size());
    OPENSSL_cleanse(pad.data(), pad.size());
    if (!ok) {
        return Error::internal("SHA-256 computation failed");
    }
    return HmacKey(std::move(inner), std::move(outer));
}

Result<HexSignature> HmacKey::sign(std::string_view message) const {
    // One working context per thread: a fresh one would cost two allocations.
    thread_local const Context working(EVP_MD_CTX_new());
    std::array<unsigned char, digest_size> inner{};
    std::array<unsigned char, digest_size> outer{};
    const bool ok = working && EVP_MD_CTX_copy_ex(working.get(), inner_.get()) == 1 &&
                    (message.empty() || EVP_DigestUpdate(working.get(), message.data(), message.size()) == 1) &&
                    EVP_DigestFinal_ex(working.get(), inner.data(), nullptr) == 1 &&
                    EVP_MD_CTX_copy_ex(working.get(), outer_.get()) == 1 &&
                    EVP_DigestUpdate(working.get(), inner.data(), inner.size()) == 1 &&
                    EVP_DigestFinal_ex(working.get(), outer.data(), nullptr) == 1;
    if (!ok) {
        return Error::internal("SHA-256 computation failed");
    }
    HexSignature signature;
    static_assert(sizeof signature.digits == 2 * digest_size);
    write_hex(outer, signature.digits.data());
    return signature;
}

Result<std::string> hmac_sign(std::string_view key, std::string_view message) {
    TAVORI_ASSIGN_OR_RETURN(signer, HmacKey::create(key));
    TAVORI_ASSIGN_OR_RETURN(signature, signer.sign(message));
    return std::string(signature.text());
}

std::string hex_encode(std::span<const unsigned char> bytes) {
    std::string text(bytes.size() * 2, '\0');
    write_hex(bytes, text.data());
    return text;
}

bool signatures_equal(std::string_view expected, std::string_view received) noexcept {
    return expected.size() == received.size() &&
           CRYPTO_memcmp(expected.data(), received.data(), expected.size()) == 0;
}

Result<std::string> generate_nonce() {
    std::array<unsigned char, 16> bytes{};
    if (auto filled = fill_random(bytes.data(), bytes.size()); !filled) {
        return std::move(filled).error();
    }
    return hex_encode(bytes);
}

std::string url_encode(std::string_view text) {
    std::string encoded;
    encoded.reserve(text.size());
    for (const char raw : text) {
        const auto c = static_cast<unsigned char>(raw);
        if (is_unreserved(c)) {
            encoded.push_back(raw);
        } else {
            encoded.push_back('%');
            encoded.push_back(upper_hex[c >> 4]);
            encoded.push_back(upper_hex[c & 0x0F]);
        }
    }
    return encoded;
}

std::string amount_text(double amount) {
    if (std::isnan(amount)) {
        return "NaN";
    }
    if (std::isinf(amount)) {
        return amount < 0 ? "-inf" : "inf";
    }
    // The shortest round-trip digits come from the scientific form; the fixed
    // form of to_chars would print a large double's exact binary value
    // (21437929370331352 where the shortest digits give 21437929370331350).
    char scientific[32];
    const auto written =
        std::to_chars(scientific, scientific + sizeof scientific, amount, std::chars_format::scientific);
    const std::string_view form(scientific, static_cast<std::size_t>(written.ptr - scientific));
    const std::size_t e = form.find('e');
    std::string digits;
    for (const char c : form.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    int exponent = 0;
    const std::string_view exponent_text = form.substr(e + 1);
    std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                    exponent_text.data() + exponent_text.size(), exponent);
    // The number is 0.DIGITS times ten to the power `integer_digits`.
    const long integer_digits = static_cast<long>(exponent) + 1;
    const auto count = static_cast<long>(digits.size());
    std::string text = std::signbit(amount) ? "-" : "";
    if (integer_digits <= 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(-integer_digits), '0');
        text += digits;
    } else if (integer_digits >= count) {
        text += digits;
        text.append(static_cast<std::size_t>(integer_digits - count), '0');
    } else {
        text.append(digits, 0, static_cast<std::size_t>(integer_digits));
        text += '.';
        text.append(digits, static_cast<std::size_t>(integer_digits));
    }
    return text;
}

}  // namespace tavori
