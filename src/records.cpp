#include "records.hpp"

#include <new>

namespace tavori {
namespace {

template <class Fields>
struct Record {
    PyObject_HEAD
    Fields fields;
};

template <class Fields>
const Fields& fields_of(PyObject* self) noexcept {
    return reinterpret_cast<Record<Fields>*>(self)->fields;
}

// The getset descriptor has already checked that `self` is a record of the
// right class before a getter runs.
template <class Fields, std::string Fields::*field>
PyObject* get_text(PyObject* self, void*) {
    return py::to_python(py::new_str(fields_of<Fields>(self).*field));
}

template <class Fields, std::int32_t Fields::*field>
PyObject* get_code(PyObject* self, void*) {
    return PyLong_FromLong(fields_of<Fields>(self).*field);
}

template <class Fields>
void deallocate(PyObject* self) {
    reinterpret_cast<Record<Fields>*>(self)->fields.~Fields();
    py::free_instance(self);
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    py::Object name = py::Object::steal(PyType_GetName(type));
    if (name) {
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    }
    return nullptr;
}

PyObject* payment_result_repr(PyObject* self) {
    const auto& fields = fields_of<PaymentFields>(self);
    return py::guarded([&]() -> Result<py::Object> {
        return py::new_str("PaymentResult(order_id='" + fields.order_id + "', pay_url='" + fields.pay_url +
                           "')");
    });
}

PyObject* order_status_repr(PyObject* self) {
    const auto& fields = fields_of<OrderFields>(self);
    return py::guarded([&]() -> Result<py::Object> {
        return py::new_str("OrderStatus(order_id='" + fields.order_id +
                           "', pay_status=" + std::to_string(fields.pay_status) +
                           ", settle_status=" + std::to_string(fields.settle_status) +
                           ", refund_status=" + std::to_string(fields.refund_status) + ")");
    });
}

PyGetSetDef payment_result_properties[] = {
    {"order_id", get_text<PaymentFields, &PaymentFields::order_id>, nullptr, "", nullptr},
    {"pay_url", get_text<PaymentFields, &PaymentFields::pay_url>, nullptr, "", nullptr},
    {},
};

PyGetSetDef order_status_properties[] = {
    {"order_id", get_text<OrderFields, &OrderFields::order_id>, nullptr, "", nullptr},
    {"pay_status", get_code<OrderFields, &OrderFields::pay_status>, nullptr, "", nullptr},
    {"pay_status_text", get_text<OrderFields, &OrderFields::pay_status_text>, nullptr, "", nullptr},
    {"settle_status", get_code<OrderFields, &OrderFields::settle_status>, nullptr, "", nullptr},
    {"settle_status_text", get_text<OrderFields, &OrderFields::settle_status_text>, nullptr, "", nullptr},
    {"refund_status", get_code<OrderFields, &OrderFields::refund_status>, nullptr, "", nullptr},
    {"refund_status_text", get_text<OrderFields, &OrderFields::refund_status_text>, nullptr, "", nullptr},
    {"amount", get_text<OrderFields, &OrderFields::amount>, nullptr, "", nullptr},
    {"settle_amount", get_text<OrderFields, &OrderFields::settle_amount>, nullptr, "", nullptr},
    {"expired", get_text<OrderFields, &OrderFields::expired>, nullptr, "", nullptr},
    {"fail_reason", get_text<OrderFields, &OrderFields::fail_reason>, nullptr, "", nullptr},
    {},
};

PyType_Slot payment_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(payment_result_repr)},
    {Py_tp_getset, payment_result_properties},
    {Py_tp_doc, const_cast<char*>("Payment result returned by create_payment.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate<PaymentFields>)},
    {0, nullptr},
};

PyType_Slot order_status_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(order_status_repr)},
    {Py_tp_getset, order_status_properties},
    {Py_tp_doc, const_cast<char*>("Order status returned by query_order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate<OrderFields>)},
    {0, nullptr},
};

PyType_Spec payment_result_spec = {
    "builtins.PaymentResult", sizeof(Record<PaymentFields>), 0, Py_TPFLAGS_DEFAULT, payment_result_slots,
};

PyType_Spec order_status_spec = {
    "builtins.OrderStatus", sizeof(Record<OrderFields>), 0, Py_TPFLAGS_DEFAULT, order_status_slots,
};

template <class Fields>
Result<py::Object> new_record(Result<PyTypeObject*> type, Fields fields, const char* what) {
    TAVORI_ASSIGN_OR_RETURN(record_type, std::move(type));
    PyObject* self = py::allocate(record_type);
    if (self == nullptr) {
        return Error::internal(std::string("cannot allocate a ") + what);
    }
    new (&reinterpret_cast<Record<Fields>*>(self)->fields) Fields(std::move(fields));
    return py::Object::steal(self);
}

}  // namespace

Result<PyTypeObject*> payment_result_type() {
    static PyObject* cache = nullptr;
    return py::cached_type(cache, payment_result_spec);
}

Result<PyTypeObject*> order_status_type() {
    static PyObject* cache = nullptr;
    return py::cached_type(cache, order_status_spec);
}

Result<py::Object> new_payment_result(PaymentFields fields) {
    return new_record(payment_result_type(), std::move(fields), "PaymentResult");
}

Result<py::Object> new_order_status(OrderFields fields) {
    return new_record(order_status_type(), std::move(fields), "OrderStatus");
}

}  // namespace tavori
