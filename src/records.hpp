// The two read-only result records, PaymentResult and OrderStatus.
#pragma once

#include <cstdint>
#include <string>

#include "python.hpp"

namespace tavori {

struct PaymentFields {
    std::string order_id;
    std::string pay_url;
};

struct OrderFields {
    std::string order_id;
    std::int32_t pay_status = 0;
    std::string pay_status_text;
    std::int32_t settle_status = 0;
    std::string settle_status_text;
    std::int32_t refund_status = 0;
    std::string refund_status_text;
    std::string amount;
    std::string settle_amount;
    std::string expired;
    std::string fail_reason;
};

// The class objects, created on first use and kept for the process.
Result<PyTypeObject*> payment_result_type();
Result<PyTypeObject*> order_status_type();

// New records owning the given fields. A failed allocation is an internal
// fault, with the interpreter's MemoryError as the exception.
Result<py::Object> new_payment_result(PaymentFields fields);
Result<py::Object> new_order_status(OrderFields fields);

}  // namespace tavori
