// The three operations of a Client and their method entries.
#pragma once

#include "python.hpp"

namespace tavori {

// create_payment, query_order and verify_callback, for the Client class.
extern PyMethodDef client_methods[];

}  // namespace tavori
