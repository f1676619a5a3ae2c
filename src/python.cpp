#include "python.hpp"

#include <algorithm>
#include <vector>

namespace tavori::py {

Result<Object> checked(PyObject* new_reference) {
    if (new_reference == nullptr) {
        return Error::pending();
    }
    return Object::steal(new_reference);
}

Result<Object> call(PyObject* callable, PyObject* argument) {
    PyObject* arguments[] = {argument};
    return checked(PyObject_Vectorcall(callable, arguments, 1, nullptr));
}

Object type_name(PyObject* value) {
    return Object::steal(PyType_GetName(Py_TYPE(value)));
}

PyObject* allocate(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    // A heap type's instance holds a reference to its type.
    Py_DECREF(type);
}

Result<PyObject*> Name::get() {
    if (interned_ == nullptr) {
        interned_ = PyUnicode_InternFromString(text_);
        if (interned_ == nullptr) {
            return Error::pending();
        }
    }
    return interned_;
}

Result<Object> attribute(PyObject* owner, Name& name) {
    TAVORI_ASSIGN_OR_RETURN(text, name.get());
    return checked(PyObject_GetAttr(owner, text));
}

Result<Object> attribute(PyObject* owner, const char* name) {
    return checked(PyObject_GetAttrString(owner, name));
}

Result<Object> import(Name& name) {
    TAVORI_ASSIGN_OR_RETURN(text, name.get());
    // An imported module is one dictionary lookup away; the import machinery
    // would cost a call into importlib at every request.
    Object found = Object::steal(PyImport_GetModule(text));
    if (found && found.get() != Py_None) {
        return found;
    }
    if (PyErr_Occurred()) {
        return Error::pending();
    }
    return checked(PyImport_Import(text));
}

Result<PyTypeObject*> cached_type(PyObject*& cache, PyType_Spec& spec) {
    if (cache == nullptr) {
        Object created = Object::steal(PyType_FromSpec(&spec));
        if (!created) {
            return Error::pending();
        }
        if (cache == nullptr) {
            cache = created.release();
        }
    }
    return reinterpret_cast<PyTypeObject*>(cache);
}

void raise(const Error& error) {
    switch (error.kind()) {
    case Error::Kind::failure: {
        const std::string& message = error.message();
        Object text = Object::steal(
            PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (text) {
            PyErr_SetObject(PyExc_RuntimeError, text.get());
        }
        return;
    }
    case Error::Kind::pending:
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
        return;
    case Error::Kind::internal:
        // The diagnostic keeps a pending exception (MemoryError, say) intact.
        PySys_WriteStderr("tavori_pay: internal error: %.900s\n", error.message().c_str());
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "tavori_pay internal error: %.900s", error.message().c_str());
        }
        return;
    }
}

PyObject* to_python(Result<Object> result) {
    if (result) {
        return result->release();
    }
    raise(result.error());
    return nullptr;
}

Result<std::string_view> utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return Error::pending();
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

Result<Object> new_str(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

namespace {

Status place_keyword(const Signature& signature, PyObject* name, PyObject* value, std::span<PyObject*> bound) {
    for (std::size_t index = 0; index < signature.names.size(); ++index) {
        if (PyUnicode_CompareWithASCIIString(name, signature.names[index]) != 0) {
            continue;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                         signature.names[index]);
            return Error::pending();
        }
        bound[index] = value;
        return Done{};
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.function, name);
    return Error::pending();
}

Status bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       std::span<PyObject*> bound) {
    const auto capacity = static_cast<Py_ssize_t>(signature.names.size());
    if (nargs > capacity) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", signature.function,
                     capacity, capacity == 1 ? "" : "s", nargs);
        return Error::pending();
    }
    for (std::size_t index = 0; index < bound.size(); ++index) {
        bound[index] = static_cast<Py_ssize_t>(index) < nargs ? args[index] : nullptr;
    }
    return Done{};
}

Status check_required(const Signature& signature, std::span<PyObject*> bound) {
    for (std::size_t index = 0; index < signature.required; ++index) {
        if (bound[index] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.function,
                         signature.names[index], index + 1);
            return Error::pending();
        }
    }
    return Done{};
}

}  // namespace

Status bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            std::span<PyObject*> bound) {
    nargs = PyVectorcall_NARGS(nargs);
    if (auto placed = bind_positional(signature, args, nargs, bound); !placed) {
        return placed;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        auto placed = place_keyword(signature, PyTuple_GetItem(kwnames, k), args[nargs + k], bound);
        if (!placed) {
            return placed;
        }
    }
    return check_required(signature, bound);
}

Status bind(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
    // The Limited API has no view of a tuple's item array: the borrowed
    // pointers the binder can use are copied, at most one per parameter (a
    // longer tuple is refused by its count).
    const Py_ssize_t count = PyTuple_Size(args);
    if (count < 0) {
        return Error::pending();
    }
    std::vector<PyObject*> items(std::min(static_cast<std::size_t>(count), signature.names.size()));
    for (std::size_t index = 0; index < items.size(); ++index) {
        items[index] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(index));
    }
    if (auto placed = bind_positional(signature, items.data(), count, bound); !placed) {
        return placed;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (auto placed = place_keyword(signature, name, value, bound); !placed) {
                return placed;
            }
        }
    }
    return check_required(signature, bound);
}

Result<std::string_view> str_argument(const Signature& signature, std::size_t index, PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %S", signature.function,
                     signature.names[index], type_name(value).get());
        return Error::pending();
    }
    return utf8_view(value);
}

Result<std::optional<std::string_view>> optional_str_argument(const Signature& signature, std::size_t index,
                                                              PyObject* value) {
    if (value == nullptr || value == Py_None) {
        return std::optional<std::string_view>{};
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str or None, not %S", signature.function,
                     signature.names[index], type_name(value).get());
        return Error::pending();
    }
    TAVORI_ASSIGN_OR_RETURN(text, utf8_view(value));
    return std::optional<std::string_view>(text);
}

Result<double> double_argument(const Signature& signature, std::size_t index, PyObject* value) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        // Only a wrong type is the binder's to word; OverflowError passes as it is.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            Object conversion = Object::steal(PyErr_GetRaisedException());
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' %S", signature.function, signature.names[index],
                         conversion.get());
        }
        return Error::pending();
    }
    return number;
}

}  // namespace tavori::py
