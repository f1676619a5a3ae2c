// The Client class: its two keys, its constructor, and the service base URL.
#pragma once

#include <string>

#include "python.hpp"
#include "signing.hpp"

namespace tavori {

struct Keys {
    std::string community_key;
    std::string sponsor_key;
    HmacKey sponsor_signer;  // HMAC-SHA-256 under sponsor_key, prepared once
};

Result<PyTypeObject*> client_type();

// The keys of `self`, or a TypeError when it is not a Client.
Result<const Keys*> client_keys(PyObject* self);

// TAVORI_PAY_BASE_URL as the process environment holds it now, or the
// service's own origin when it is unset or not UTF-8.
std::string base_url();

}  // namespace tavori
