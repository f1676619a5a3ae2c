#include "client.hpp"

#include <cstdlib>
#include <new>
#include <optional>

#include <openssl/crypto.h>

#include "key_file.hpp"
#include "operations.hpp"
#include "utf8.hpp"

#ifndef TAVORI_PAY_DEFAULT_BASE_URL
#error "the build defines the service's default origin"
#endif

namespace tavori {
namespace {

struct ClientObject {
    PyObject_HEAD
    Keys keys;
};

// A host value as text: a str's UTF-8 text, a TypeError naming `what` for any
// other type.
Result<std::string> text_of(PyObject* value, const char* what) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %S", what, py::type_name(value).get());
        return Error::pending();
    }
    TAVORI_ASSIGN_OR_RETURN(text, py::utf8_view(value));
    return std::string(text);
}

// settings.WORKING_SPACE when it can be had as text; no value (and no
// exception) when the setting is missing, raises, or is not a str.
std::optional<std::string> configured_working_space(const py::Object& settings) {
    auto setting = py::attribute(settings.get(), "WORKING_SPACE");
    if (setting && PyUnicode_Check(setting->get())) {
        if (auto text = py::utf8_view(setting->get())) {
            return std::string(*text);
        }
    }
    PyErr_Clear();
    return std::nullopt;
}

// os.environ["IS_LAN"] is "true", exactly; any failure to read it counts as not.
bool is_lan(const py::Object& os) {
    bool lan = false;
    if (auto environ = py::attribute(os.get(), "environ")) {
        auto flag = py::checked(PyMapping_GetItemString(environ->get(), "IS_LAN"));
        if (flag && PyUnicode_Check(flag->get())) {
            auto text = py::utf8_view(flag->get());
            lan = text && *text == "true";
        }
    }
    PyErr_Clear();
    return lan;
}

py::Name django_conf{"django.conf"};
py::Name os_module{"os"};
py::Name sys_module{"sys"};

Result<std::string> working_space() {
    TAVORI_ASSIGN_OR_RETURN(conf, py::import(django_conf));
    TAVORI_ASSIGN_OR_RETURN(settings, py::attribute(conf.get(), "settings"));
    if (auto configured = configured_working_space(settings)) {
        return *std::move(configured);
    }
    TAVORI_ASSIGN_OR_RETURN(os, py::import(os_module));
    if (is_lan(os)) {
        TAVORI_ASSIGN_OR_RETURN(sys, py::import(sys_module));
        TAVORI_ASSIGN_OR_RETURN(executable_object, py::attribute(sys.get(), "executable"));
        TAVORI_ASSIGN_OR_RETURN(executable, text_of(executable_object.get(), "sys.executable"));
        TAVORI_ASSIGN_OR_RETURN(path, py::attribute(os.get(), "path"));
        TAVORI_ASSIGN_OR_RETURN(dirname, py::attribute(path.get(), "dirname"));
        TAVORI_ASSIGN_OR_RETURN(executable_text, py::new_str(executable));
        TAVORI_ASSIGN_OR_RETURN(directory, py::call(dirname.get(), executable_text.get()));
        return text_of(directory.get(), "os.path.dirname()");
    }
    TAVORI_ASSIGN_OR_RETURN(getcwd, py::attribute(os.get(), "getcwd"));
    TAVORI_ASSIGN_OR_RETURN(directory, py::checked(PyObject_CallNoArgs(getcwd.get())));
    return text_of(directory.get(), "os.getcwd()");
}

struct KeyTexts {
    std::string community_key;
    std::string sponsor_key;
};

Result<KeyTexts> keys_from_key_file() {
    TAVORI_ASSIGN_OR_RETURN(space, working_space());
    const std::string path = space + "/auth_key.py";
    auto content = read_key_file(path);
    if (!content) {
        return Error::failure("Cannot read auth_key.py at " + path + ": " + content.error().description +
                              ". Please pass community_key and sponsor_key manually.");
    }
    std::optional<std::string> community = extract_assignment(*content, "COMMUNITY_KEY");
    if (!community) {
        return Error::failure("COMMUNITY_KEY not found in auth_key.py");
    }
    std::optional<std::string> sponsor = extract_assignment(*content, "SPONSOR_KEY");
    if (!sponsor) {
        return Error::failure("SPONSOR_KEY not found in auth_key.py");
    }
    return KeyTexts{*std::move(community), *std::move(sponsor)};
}

constexpr const char* constructor_parameters[] = {"community_key", "sponsor_key"};
constexpr py::Signature constructor_signature{"Client.__new__", constructor_parameters, 0};

Result<py::Object> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[2];
    TAVORI_RETURN_IF_ERROR(py::bind(constructor_signature, args, kwargs, bound));
    TAVORI_ASSIGN_OR_RETURN(community, py::optional_str_argument(constructor_signature, 0, bound[0]));
    TAVORI_ASSIGN_OR_RETURN(sponsor, py::optional_str_argument(constructor_signature, 1, bound[1]));
    KeyTexts texts;
    if (community && sponsor) {
        texts = KeyTexts{std::string(*community), std::string(*sponsor)};
    } else {
        // Both keys come from the file, even the one that was given.
        TAVORI_ASSIGN_OR_RETURN(from_file, keys_from_key_file());
        texts = std::move(from_file);
    }
    TAVORI_ASSIGN_OR_RETURN(signer, HmacKey::create(texts.sponsor_key));
    Keys keys{std::move(texts.community_key), std::move(texts.sponsor_key), std::move(signer)};
    PyObject* self = py::allocate(type);
    if (self == nullptr) {
        return Error::pending();
    }
    new (&reinterpret_cast<ClientObject*>(self)->keys) Keys(std::move(keys));
    return py::Object::steal(self);
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] { return construct(type, args, kwargs); });
}

void client_deallocate(PyObject* self) {
    Keys& keys = reinterpret_cast<ClientObject*>(self)->keys;
    // Keys should not linger in freed memory.
    OPENSSL_cleanse(keys.sponsor_key.data(), keys.sponsor_key.size());
    keys.~Keys();
    py::free_instance(self);
}

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_methods, client_methods},
    {Py_tp_doc, const_cast<char*>("Client(community_key=None, sponsor_key=None)\n--\n\n")},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_deallocate)},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "builtins.Client", sizeof(ClientObject), 0, Py_TPFLAGS_DEFAULT, client_slots,
};

}  // namespace

Result<PyTypeObject*> client_type() {
    static PyObject* cache = nullptr;
    return py::cached_type(cache, client_spec);
}

Result<const Keys*> client_keys(PyObject* self) {
    TAVORI_ASSIGN_OR_RETURN(type, client_type());
    if (!PyObject_TypeCheck(self, type)) {
        PyErr_Format(PyExc_TypeError, "expected a Client, not %S", py::type_name(self).get());
        return Error::pending();
    }
    return &reinterpret_cast<const ClientObject*>(self)->keys;
}

std::string base_url() {
    const char* configured = std::getenv("TAVORI_PAY_BASE_URL");
    if (configured != nullptr && is_valid_utf8(configured)) {
        return configured;
    }
    return TAVORI_PAY_DEFAULT_BASE_URL;
}

}  // namespace tavori
