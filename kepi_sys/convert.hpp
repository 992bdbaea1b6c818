// Conversion of host objects into runtime values, as the create-info records
// need it: attributes read by name (names interned once per process), values
// converted right after reading, and failures reported as Python errors.
//
// Every function returns false (or null) with a Python error set on failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kepi_sys/py.hpp"

namespace kepi {

// An attribute name, interned on first use and kept for the process.
class AttrName {
public:
    explicit constexpr AttrName(const char* text) noexcept : text_(text) {}
    // Borrowed; null with a Python error set when it could not be made.
    PyObject* get();
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

// getattr(obj, name); a failure (missing attribute, raising property) is
// left set unchanged.
Ref get_attr(PyObject* obj, AttrName& name);

// Replaces the pending error by TypeError "failed to extract field
// {record}.{field}" whose cause is the replaced error.
void wrap_field_error(std::string_view record, std::string_view field);

// The type's __qualname__, as messages show it ("<unknown>" when unreadable).
std::string qualname_of_type(PyObject* type);

// Unsigned integers: an int or an object with __index__; TypeError for
// anything else, OverflowError outside the type's range.
bool extract_u16(PyObject* obj, std::uint16_t& out);
bool extract_u32(PyObject* obj, std::uint32_t& out);

// A str as UTF-8 (TypeError for a non-str, UnicodeEncodeError for text that
// has no UTF-8 form).
bool extract_string(PyObject* obj, std::string& out);
// The same check, the text borrowed: valid while `obj` lives (hold a reference).
bool borrow_string(PyObject* obj, std::string_view& out);

// The list fields' sequence test: a str is refused although it is a
// sequence; a list, a tuple or another collections.abc.Sequence passes.
bool check_sequence(PyObject* obj);

// Converts each item of a sequence (after check_sequence) in iteration order
// with `convert(item)`; stops at the first item that fails, with its error.
template <class Convert>
bool for_each_item(PyObject* seq, Convert&& convert) {
    if (!check_sequence(seq)) return false;
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (true) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() == nullptr;
        if (!convert(item.get())) return false;
    }
}

// str(text) of any exception-ish value, with text that is not valid UTF-8
// (lone surrogates) replaced by U+FFFD as needed; false when str() fails.
bool str_lossy(PyObject* obj, std::string& out);

// Raises `type` with a message given as UTF-8 bytes (NUL bytes kept).
void raise_message(PyObject* type, std::string_view message);

// Takes the pending error and renders it as "{type qualname}: {str(value)}",
// or "{type qualname}: <exception str() failed>". Clears the error.
std::string take_error_text();

}  // namespace kepi
