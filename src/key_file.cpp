#include "key_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "descriptor.hpp"
#include "utf8.hpp"

namespace tavori {
namespace {

ReadFailure os_failure(int error_number) {
    return {std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")"};
}

// Decodes the code point that starts at `at` in valid UTF-8.
char32_t code_point_at(std::string_view text, std::size_t at, std::size_t& length) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length && at + i < text.size(); ++i) {
        value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    }
    return value;
}

// Unicode's White_Space property.
bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string_view trim(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = 0;
        if (!is_white_space(code_point_at(text, begin, length))) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        std::size_t length = 0;
        if (!is_white_space(code_point_at(text, start, length))) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string_view without_quotes(std::string_view value) noexcept {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

Result<std::string, ReadFailure> read_key_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return ReadFailure{"file name contained an unexpected NUL byte"};
    }
    const std::string terminated(path);
    // O_NONBLOCK keeps open() from waiting for a writer when the path is a FIFO.
    Descriptor file(::open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        return os_failure(errno);
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        return os_failure(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return os_failure(EISDIR);
    }
    if (!S_ISREG(status.st_mode)) {
        return ReadFailure{"not a regular file"};
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return os_failure(errno);
        }
        if (got == 0) {
            break;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
    if (!is_valid_utf8(content)) {
        return ReadFailure{"stream did not contain valid UTF-8"};
    }
    return content;
}

std::optional<std::string> extract_assignment(std::string_view text, std::string_view name) {
    std::size_t line_start = 0;
    while (line_start < text.size()) {
        std::size_t line_end = text.find('\n', line_start);
        const std::size_t next = line_end == std::string_view::npos ? text.size() : line_end + 1;
        if (line_end == std::string_view::npos) {
            line_end = text.size();
        }
        std::string_view line = text.substr(line_start, line_end - line_start);
        line_start = next;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = trim(line);
        if (!line.starts_with(name)) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        return std::string(without_quotes(trim(line.substr(equals + 1))));
    }
    return std::nullopt;
}

}  // namespace tavori
