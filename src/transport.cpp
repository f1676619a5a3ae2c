#include "transport.hpp"

#include <climits>

#include "utf8.hpp"

namespace tavori {
namespace {

using py::attribute;
using py::Object;

// The host names this exchange looks up, interned once for the process.
py::Name urllib_request{"urllib.request"};
py::Name urllib_error{"urllib.error"};
py::Name request_name{"Request"};
py::Name method_name{"method"};
py::Name urlopen_name{"urlopen"};
py::Name getcode_name{"getcode"};
py::Name read_name{"read"};
py::Name http_error_name{"HTTPError"};
py::Name code_name{"code"};

Result<Object> call_method(PyObject* owner, py::Name& name) {
    TAVORI_ASSIGN_OR_RETURN(method, attribute(owner, name));
    return py::checked(PyObject_CallNoArgs(method.get()));
}

// The status as a signed 32-bit integer, kept to its low 16 bits.
Result<std::uint16_t> status_of(PyObject* code) {
    const long value = PyLong_AsLong(code);
    if (value == -1 && PyErr_Occurred()) {
        return Error::pending();
    }
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "HTTP status does not fit in 32 bits");
        return Error::pending();
    }
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value));
}

// The text of what read() returned: bytes, or any sequence of integers 0 to
// 255, decoded from UTF-8 with invalid sequences replaced.
Result<std::string> body_of(PyObject* data) {
    if (PyBytes_Check(data)) {
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) {
            return Error::pending();
        }
        return decode_utf8_lossy({bytes, static_cast<std::size_t>(size)});
    }
    if (PyUnicode_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "read() returned str, expected bytes");
        return Error::pending();
    }
    TAVORI_ASSIGN_OR_RETURN(items, py::checked(PySequence_Fast(data, "read() must return bytes")));
    const Py_ssize_t size = PySequence_Size(items.get());
    if (size < 0) {
        return Error::pending();
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        TAVORI_ASSIGN_OR_RETURN(item, py::checked(PySequence_GetItem(items.get(), i)));
        if (!PyLong_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "read() returned a sequence holding %S, expected bytes",
                         py::type_name(item.get()).get());
            return Error::pending();
        }
        const long value = PyLong_AsLong(item.get());
        if (value < 0 || value > 255) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "read() returned a sequence holding a value outside 0 to 255");
            return Error::pending();
        }
        bytes.push_back(static_cast<char>(value));
    }
    return decode_utf8_lossy(bytes);
}

// Status and body of a response, or of an HTTPError, which carries both.
Result<HttpAnswer> answer_of(PyObject* code, PyObject* source) {
    TAVORI_ASSIGN_OR_RETURN(status, status_of(code));
    TAVORI_ASSIGN_OR_RETURN(data, call_method(source, read_name));
    TAVORI_ASSIGN_OR_RETURN(body, body_of(data.get()));
    return HttpAnswer{status, std::move(body)};
}

// urlopen() raised: an HTTPError is an answer, anything else is passed on.
Result<HttpAnswer> answer_of_failure() {
    Object raised = Object::steal(PyErr_GetRaisedException());
    TAVORI_ASSIGN_OR_RETURN(error_module, py::import(urllib_error));
    TAVORI_ASSIGN_OR_RETURN(http_error, attribute(error_module.get(), http_error_name));
    if (!PyErr_GivenExceptionMatches(raised.get(), http_error.get())) {
        PyErr_SetRaisedException(raised.release());
        return Error::pending();
    }
    TAVORI_ASSIGN_OR_RETURN(code, attribute(raised.get(), code_name));
    return answer_of(code.get(), raised.get());
}

}  // namespace

Result<HttpAnswer> http_request(std::string_view url, std::string_view method,
                                std::optional<std::string_view> body) {
    TAVORI_ASSIGN_OR_RETURN(request_module, py::import(urllib_request));
    TAVORI_ASSIGN_OR_RETURN(request_class, attribute(request_module.get(), request_name));
    TAVORI_ASSIGN_OR_RETURN(url_text, py::new_str(url));
    Result<Object> created = Error::pending();
    if (body) {
        TAVORI_ASSIGN_OR_RETURN(data,
                                py::checked(PyBytes_FromStringAndSize(body->data(),
                                                                      static_cast<Py_ssize_t>(body->size()))));
        PyObject* arguments[] = {url_text.get(), data.get()};
        created = py::checked(PyObject_Vectorcall(request_class.get(), arguments, 2, nullptr));
    } else {
        created = py::call(request_class.get(), url_text.get());
    }
    TAVORI_ASSIGN_OR_RETURN(request, std::move(created));
    TAVORI_ASSIGN_OR_RETURN(method_text, py::new_str(method));
    TAVORI_ASSIGN_OR_RETURN(method_attribute, method_name.get());
    if (PyObject_SetAttr(request.get(), method_attribute, method_text.get()) < 0) {
        return Error::pending();
    }
    TAVORI_ASSIGN_OR_RETURN(urlopen, attribute(request_module.get(), urlopen_name));
    Result<Object> response = py::call(urlopen.get(), request.get());
    if (!response) {
        return answer_of_failure();
    }
    TAVORI_ASSIGN_OR_RETURN(code, call_method(response->get(), getcode_name));
    return answer_of(code.get(), response->get());
}

}  // namespace tavori
