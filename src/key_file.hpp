// The project's key file, auth_key.py: reading it as UTF-8 text and finding
// the value of an assignment in it by a line scan (the file is never run).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"

namespace tavori {

// Why a key file could not be read, in the words the constructor's message
// carries: "No such file or directory (os error 2)", for instance.
struct ReadFailure {
    std::string description;
};

// The whole file at `path` as text; content that is not valid UTF-8 is a
// failure. Never blocks on a FIFO: only regular files are read.
Result<std::string, ReadFailure> read_key_file(std::string_view path);

// The value assigned to `name` on the first line that starts with it (after
// trimming) and holds an "=": the rest of the line, trimmed, with one pair of
// matching quotes removed. No value when no line qualifies.
std::optional<std::string> extract_assignment(std::string_view text, std::string_view name);

}  // namespace tavori
