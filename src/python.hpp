// The edge between the module and the interpreter: the owning handle for
// PyObject*, the argument binder of the method entries, and the one place
// where an Error becomes a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "result.hpp"

namespace tavori::py {

// Owns one strong reference. Construction says where the reference comes
// from: steal() adopts a new reference, borrow() takes one of its own.
class Object {
public:
    Object() noexcept = default;
    static Object steal(PyObject* ptr) noexcept { return Object(ptr); }
    static Object borrow(PyObject* ptr) noexcept { return Object(Py_XNewRef(ptr)); }

    Object(const Object& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Object(Object&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Object& operator=(Object other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Object() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (a return value for the interpreter).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Object(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// An attribute, key or module name as an interned str, made on first use and
// kept for the life of the process, so that a lookup costs no allocation.
class Name {
public:
    explicit constexpr Name(const char* text) noexcept : text_(text) {}
    Result<PyObject*> get();

private:
    const char* text_;
    PyObject* interned_ = nullptr;
};

// owner.name, the name interned once or, off the hot paths, given as text.
Result<Object> attribute(PyObject* owner, Name& name);
Result<Object> attribute(PyObject* owner, const char* name);

// The module called `name`, looked up at each call: from sys.modules when it
// is there, else through the import machinery (PyImport_Import), which also
// raises for a module that sys.modules blocks with None.
Result<Object> import(Name& name);

// A Python call's result: the object, or Error::pending() when it raised.
Result<Object> checked(PyObject* new_reference);

// callable(argument).
Result<Object> call(PyObject* callable, PyObject* argument);

// The name of value's type, for messages: the Limited API keeps tp_name out
// of reach. Null, with the exception set, if the name cannot be had.
Object type_name(PyObject* value);

// An instance of a class made from a PyType_Spec, and its release: the
// type's own allocation slots, reached through PyType_GetSlot.
PyObject* allocate(PyTypeObject* type);
void free_instance(PyObject* self);

// The class object made from `spec`, created on first use and kept in
// `cache` for the life of the process. Filled under the interpreter lock and
// checked again before storing, so racing callers all get the same object.
Result<PyTypeObject*> cached_type(PyObject*& cache, PyType_Spec& spec);

// Sets the Python exception that `error` stands for. A pending exception is
// left as it is; a pending exception without an error set becomes SystemError.
void raise(const Error& error);

// The entry's return value for the interpreter: the object, or null with the
// exception set.
PyObject* to_python(Result<Object> result);

// Runs an entry's body and keeps C++ exceptions from reaching the
// interpreter: allocation failures become MemoryError, anything else an
// internal fault.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return to_python(body());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise(Error::internal(fault.what()));
        return nullptr;
    }
}

// A Python str's UTF-8 text, valid while the str lives. Error::pending() with
// the interpreter's encoding error for a str holding lone surrogates.
Result<std::string_view> utf8_view(PyObject* str);

// A new str from UTF-8 text; malformed bytes cannot occur in the module's own
// texts but would be replaced rather than fail.
Result<Object> new_str(std::string_view text);

// A function's parameters, all positional-or-keyword, the first `required`
// of them without default.
struct Signature {
    const char* function;  // as the messages name it, e.g. "query_order"
    std::span<const char* const> names;
    std::size_t required;
};

// Binds a vectorcall argument list to `bound` (one slot per parameter, in
// order). Slots receive borrowed references; an omitted optional parameter
// stays null. Raises TypeError for surplus, duplicate, unknown and missing
// arguments.
Status bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            std::span<PyObject*> bound);

// The same for a tuple and a keyword dictionary (the constructor's form).
Status bind(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// Typed conversions of bound arguments; a wrong type is a TypeError that names
// the function and the parameter.
Result<std::string_view> str_argument(const Signature& signature, std::size_t index, PyObject* value);
// None or an omitted argument gives no value.
Result<std::optional<std::string_view>> optional_str_argument(const Signature& signature, std::size_t index,
                                                              PyObject* value);
Result<double> double_argument(const Signature& signature, std::size_t index, PyObject* value);

}  // namespace tavori::py
