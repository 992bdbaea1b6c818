#include "kepi_sys/convert.hpp"

#include <climits>

#include "kecore/utils/text.hpp"

namespace kepi {

PyObject* AttrName::get() {
    if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
    return object_;
}

Ref get_attr(PyObject* obj, AttrName& name) {
    PyObject* key = name.get();
    if (key == nullptr) return Ref();
    return Ref::steal(PyObject_GetAttr(obj, key));
}

void wrap_field_error(std::string_view record, std::string_view field) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    std::string text = "failed to extract field ";
    text.append(record).append(".").append(field);
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref error = message ? Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr)) : Ref();
    if (!error) {
        Py_XDECREF(value);
        return;  // the failure to build the error is what stays set
    }
    if (value != nullptr) PyException_SetCause(error.get(), value);  // steals `value`
    PyErr_SetObject(PyExc_TypeError, error.get());
}

std::string qualname_of_type(PyObject* type) {
    static AttrName qualname("__qualname__");
    Ref name = get_attr(type, qualname);
    std::string text;
    if (!name || !PyUnicode_Check(name.get()) || !str_lossy(name.get(), text)) {
        PyErr_Clear();
        return "<unknown>";
    }
    return text;
}

namespace {

bool extract_unsigned(PyObject* obj, unsigned long max, unsigned long& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long>(value) > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<unsigned long>(value);
    return true;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    std::string text = "'" + qualname_of_type(reinterpret_cast<PyObject*>(Py_TYPE(obj))) +
                       "' object cannot be converted to '" + target + "'";
    raise_message(PyExc_TypeError, text);
}

}  // namespace

bool extract_u16(PyObject* obj, std::uint16_t& out) {
    unsigned long value = 0;
    if (!extract_unsigned(obj, 0xFFFFul, value)) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool extract_u32(PyObject* obj, std::uint32_t& out) {
    unsigned long value = 0;
    if (!extract_unsigned(obj, 0xFFFFFFFFul, value)) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool borrow_string(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool extract_string(PyObject* obj, std::string& out) {
    std::string_view text;
    if (!borrow_string(obj, text)) return false;
    out.assign(text);
    return true;
}

bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
    static PyObject* abc_sequence = nullptr;  // kept for the process
    if (abc_sequence == nullptr) {
        Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
        if (!abc) return false;
        abc_sequence = PyObject_GetAttrString(abc.get(), "Sequence");
        if (abc_sequence == nullptr) return false;
    }
    const int is_sequence = PyObject_IsInstance(obj, abc_sequence);
    if (is_sequence < 0) return false;
    if (is_sequence == 0) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    return true;
}

bool str_lossy(PyObject* obj, std::string& out) {
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data != nullptr) {
        out.assign(data, static_cast<std::size_t>(size));
        return true;
    }
    // Lone surrogates: encode them as they are and replace every byte
    // sequence that is not UTF-8 by U+FFFD.
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    char* raw = nullptr;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &raw, &size) < 0) {
        PyErr_Clear();
        return false;
    }
    const std::string_view view(raw, static_cast<std::size_t>(size));
    out.clear();
    for (std::size_t pos = 0; pos < view.size();) kecore::append_utf8(out, kecore::decode_utf8(view, pos));
    return true;
}

void raise_message(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

std::string take_error_text() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_tb = Ref::steal(tb);
    if (!owned_type) return "<unknown>: <exception str() failed>";
    std::string text = qualname_of_type(owned_type.get());
    std::string detail;
    if (owned_value && str_lossy(owned_value.get(), detail)) {
        text += ": " + detail;
    } else {
        text += ": <exception str() failed>";
    }
    return text;
}

}  // namespace kepi
