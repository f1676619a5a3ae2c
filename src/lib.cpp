// The module's entry point: one module object per process, refused to any
// interpreter but the first, with the three classes and __version__.
#include <atomic>
#include <cstdint>

#include "client.hpp"
#include "python.hpp"
#include "records.hpp"

#ifndef TAVORI_PAY_VERSION
#error "the build defines the version, from pyproject.toml"
#endif

namespace tavori {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tavori_pay",
    "",       // __doc__ is the empty text, not None
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;

// Appends `name` to __all__ (creating the list on first use), then sets it.
Status add_attribute(PyObject* module, const char* name, py::Object value) {
    PyObject* dict = PyModule_GetDict(module);
    py::Object all = py::Object::borrow(PyDict_GetItemString(dict, "__all__"));
    if (!all) {
        all = py::Object::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) {
            return Error::pending();
        }
    }
    TAVORI_ASSIGN_OR_RETURN(name_text, py::new_str(name));
    if (PyList_Append(all.get(), name_text.get()) < 0 || PyModule_AddObjectRef(module, name, value.get()) < 0) {
        return Error::pending();
    }
    return Done{};
}

Status add_type(PyObject* module, const char* name, Result<PyTypeObject*> type) {
    TAVORI_ASSIGN_OR_RETURN(created, std::move(type));
    return add_attribute(module, name, py::Object::borrow(reinterpret_cast<PyObject*>(created)));
}

Status fill_module(PyObject* module) {
    TAVORI_RETURN_IF_ERROR(add_type(module, "Client", client_type()));
    TAVORI_RETURN_IF_ERROR(add_type(module, "PaymentResult", payment_result_type()));
    TAVORI_RETURN_IF_ERROR(add_type(module, "OrderStatus", order_status_type()));
    TAVORI_ASSIGN_OR_RETURN(version, py::new_str(TAVORI_PAY_VERSION));
    return add_attribute(module, "__version__", std::move(version));
}

// The module and its classes hold no per-interpreter state, so they may only
// ever belong to one interpreter.
Status claim_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) {
        return Error::pending();
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "tavori_pay does not support sub-interpreters: it is already "
                        "loaded in another interpreter of this process");
        return Error::pending();
    }
    return Done{};
}

Result<py::Object> initialise() {
    TAVORI_RETURN_IF_ERROR(claim_interpreter());
    if (cached_module == nullptr) {
        TAVORI_ASSIGN_OR_RETURN(module, py::checked(PyModule_Create2(&module_definition, 1013)));
        TAVORI_RETURN_IF_ERROR(fill_module(module.get()));
        if (cached_module == nullptr) {
            cached_module = module.release();
        }
    }
    return py::Object::borrow(cached_module);
}

}  // namespace
}  // namespace tavori

PyMODINIT_FUNC PyInit_tavori_pay() {
    return tavori::py::guarded(tavori::initialise);
}
