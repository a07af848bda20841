// Texts of the error model. Every routine here runs on a failure path.
#include "err/texts.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "attach/attach.hpp"
#include "fault/internal_fault.hpp"
#include "types/interp.hpp"
#include "types/owned_ref.hpp"
#include "types/tuple.hpp"

namespace zorvalind {

namespace {

InternedName g_io_name("io");
InternedName g_string_io_name("StringIO");
InternedName g_getvalue_name("getvalue");

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the sequence a lead byte starts, and the range allowed for the
// second byte (the later bytes are always 80..BF). Zero: not a lead byte.
struct LeadByte {
    int length;
    unsigned char second_low;
    unsigned char second_high;
};

LeadByte classify_lead(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
    if (byte == 0xE0) return {3, 0xA0, 0xBF};
    if ((byte >= 0xE1 && byte <= 0xEC) || byte == 0xEE || byte == 0xEF) return {3, 0x80, 0xBF};
    if (byte == 0xED) return {3, 0x80, 0x9F};
    if (byte == 0xF0) return {4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
    if (byte == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

std::optional<std::string> type_qualname_lossy(PyObject* type) {
    PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type));
    if (name == nullptr) {
        return std::nullopt;
    }
    OwnedRef owned = OwnedRef::steal(name);
    return unicode_text_lossy(owned.get());
}

void append_target_text(std::string& out, PyObject* target) {
    if (PyType_FastSubclass(Py_TYPE(target), Py_TPFLAGS_TYPE_SUBCLASS)) {
        PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(target));
        if (name == nullptr) {
            (void)fetch_pending();
            raise_fault("could not format the cast error message: the target type has no readable name");
        }
        OwnedRef owned = OwnedRef::steal(name);
        out += unicode_text_lossy(owned.get());
        return;
    }
    if (PyType_FastSubclass(Py_TYPE(target), Py_TPFLAGS_TUPLE_SUBCLASS)) {
        const Py_ssize_t count = tuple_size(target);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i > 0) {
                out += " | ";
            }
            append_target_text(out, tuple_item(target, i));
        }
        return;
    }
    out += object_display_text(target);
}

// `Out` is a std::string or a MessageWriter.
template <class Out>
void append_unicode_text_lossy(Out& out, PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data != nullptr) {
        out += std::string_view(data, static_cast<std::size_t>(size));
        return;
    }
    (void)fetch_pending();
    out += unicode_text_lossy(str);
}

template <class Out, class Convert>
void append_object_text_with_fallback(Out& out, PyObject* object, Convert convert) {
    PyObject* text_object = convert(object);
    if (text_object != nullptr) {
        OwnedRef owned = OwnedRef::steal(text_object);
        append_unicode_text_lossy(out, owned.get());
        return;
    }
    report_unraisable(fetch_pending(), object);
    OwnedRef type = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get()));
    if (name == nullptr) {
        (void)fetch_pending();
        out += "<unprintable object>";
        return;
    }
    OwnedRef owned_name = OwnedRef::steal(name);
    out += "<unprintable ";
    append_object_text_with_fallback(out, owned_name.get(), PyObject_Str);
    out += " object>";
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = data[i];
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        const LeadByte info = classify_lead(lead);
        if (info.length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        // Consume the longest prefix that can still start a valid sequence.
        std::size_t j = i + 1;
        bool complete = true;
        for (int k = 1; k < info.length; ++k, ++j) {
            const unsigned char low = k == 1 ? info.second_low : 0x80;
            const unsigned char high = k == 1 ? info.second_high : 0xBF;
            if (j >= size || data[j] < low || data[j] > high) {
                complete = false;
                break;
            }
        }
        if (complete) {
            out.append(bytes.substr(i, j - i));
        } else {
            out += kReplacement;
        }
        i = j;
    }
    return out;
}

PyObject* str_from_text(std::string_view text, bool known_ascii) {
#if defined(Py_LIMITED_API)
    // The call's own ASCII path is the fast one there is.
    (void)known_ascii;
#else
    // An ASCII text needs no decoding: it is copied into a new compact ASCII
    // str, as the call would do. Texts of fewer than two bytes are left to
    // the call, which hands out the interpreter's shared strings for them.
    if (text.size() >= 2 && (known_ascii || is_ascii(text))) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 0x7F);
        if (str != nullptr) {
            detail::copy_text(static_cast<char*>(PyUnicode_DATA(str)), text.data(), text.size());
        }
        return str;
    }
#endif
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool str_known_ascii(PyObject* str) noexcept {
#if defined(Py_LIMITED_API)
    (void)str;
    return false;
#else
    return PyUnicode_IS_ASCII(str) != 0;
#endif
}

PyObject* sole_str_argument(PyObject* exception) noexcept {
#if defined(Py_LIMITED_API)
    // A new reference to the args; the exception keeps them alive after it
    // is given back.
    PyObject* const args = PyException_GetArgs(exception);
    if (args == nullptr) {
        return nullptr;
    }
    Py_DECREF(args);
#else
    PyObject* const args = reinterpret_cast<PyBaseExceptionObject*>(exception)->args;
    if (args == nullptr) {
        return nullptr;
    }
#endif
    if (!PyTuple_CheckExact(args) || tuple_size(args) != 1) {
        return nullptr;
    }
    PyObject* const text = tuple_item(args, 0);
    return PyUnicode_CheckExact(text) ? text : nullptr;
}

Result<std::string_view> unicode_text(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return fetch_pending();
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string unicode_text_lossy(PyObject* str) {
    Result<std::string_view> strict = unicode_text(str);
    if (strict.ok()) {
        return std::string(strict.value());
    }
    (void)strict.take_error();
    PyObject* encoded = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (encoded == nullptr) {
        fail_api_call();
    }
    OwnedRef bytes = OwnedRef::steal(encoded);
    const char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    return decode_utf8_lossy(std::string_view(data, static_cast<std::size_t>(size)));
}

// Eight bytes at a time; the last word may overlap the one before it.
bool is_ascii(std::string_view text) noexcept {
    constexpr std::uint64_t kHighBits = 0x8080808080808080U;
    const char* data = text.data();
    const std::size_t size = text.size();
    if (size < 8) {
        unsigned seen = 0;
        for (std::size_t i = 0; i < size; ++i) {
            seen |= static_cast<unsigned char>(data[i]);
        }
        return seen < 0x80;
    }
    std::uint64_t seen = 0;
    std::uint64_t word = 0;
    for (std::size_t i = 0; i + 8 < size; i += 8) {
        std::memcpy(&word, data + i, 8);
        seen |= word;
    }
    std::memcpy(&word, data + size - 8, 8);
    seen |= word;
    return (seen & kHighBits) == 0;
}

void append_unicode_text_lossy(MessageWriter& out, PyObject* str) {
    append_unicode_text_lossy<MessageWriter>(out, str);
}

void append_object_display_text(MessageWriter& out, PyObject* object) {
    append_object_text_with_fallback(out, object, PyObject_Str);
}

std::string object_display_text(PyObject* object) {
    std::string out;
    append_object_text_with_fallback(out, object, PyObject_Str);
    return out;
}

std::string object_repr_text(PyObject* object) {
    std::string out;
    append_object_text_with_fallback(out, object, PyObject_Repr);
    return out;
}

Result<std::string> format_traceback(PyObject* traceback) {
    PyObject* io_module = PyImport_Import(g_io_name.get());
    if (io_module == nullptr) {
        return fetch_pending();
    }
    OwnedRef io = OwnedRef::steal(io_module);
    Result<OwnedRef> string_io_type = get_attribute(io.get(), g_string_io_name.get());
    if (!string_io_type.ok()) {
        return string_io_type.take_error();
    }
    PyObject* created = PyObject_CallNoArgs(string_io_type.value().get());
    if (created == nullptr) {
        return fetch_pending();
    }
    OwnedRef string_io = OwnedRef::steal(created);
    if (PyTraceBack_Print(traceback, string_io.get()) == -1) {
        return fetch_pending();
    }
    Result<OwnedRef> getvalue = get_attribute(string_io.get(), g_getvalue_name.get());
    if (!getvalue.ok()) {
        return getvalue.take_error();
    }
    PyObject* value = PyObject_CallNoArgs(getvalue.value().get());
    if (value == nullptr) {
        return fetch_pending();
    }
    OwnedRef text = OwnedRef::steal(value);
    if (!PyType_FastSubclass(Py_TYPE(text.get()), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return CastError(text.get(), Py_NewRef(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }
    Result<std::string_view> view = unicode_text(text.get());
    if (!view.ok()) {
        return view.take_error();
    }
    return std::string(view.value());
}

namespace {
void append_code_point_escape(std::string& out, unsigned code_point) {
    char escaped[16];
    std::snprintf(escaped, sizeof escaped, "\\u{%x}", code_point);
    out += escaped;
}
}  // namespace

std::string quoted_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        // U+0080..U+009F, the C1 controls: C2 80..C2 9F in UTF-8.
        if (byte == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                append_code_point_escape(out, next);
                ++i;
                continue;
            }
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    append_code_point_escape(out, byte);
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string debug_text(PyErr& error) {
    attach::Attachment attachment = attach::Attachment::acquire();
    std::string out = "PyErr { type: ";
    {
        OwnedRef type = OwnedRef::steal(exception_type(error));
        out += object_repr_text(type.get());
    }
    out += ", value: ";
    out += object_repr_text(exception_value(error));
    out += ", traceback: ";
    OwnedRef traceback = OwnedRef::steal(exception_traceback(error));
    if (!traceback) {
        out += "None";
    } else {
        Result<std::string> text = format_traceback(traceback.get());
        std::string shown;
        if (text.ok()) {
            shown = std::move(text.value());
        } else {
            report_unraisable(text.take_error(), traceback.get());
            shown = "<unformattable " + object_repr_text(traceback.get()) + ">";
        }
        out += "Some(";
        out += quoted_literal(shown);
        out += ")";
    }
    out += " }";
    return out;
}

std::string cast_error_message(PyObject* failed_type, PyObject* target) {
    std::string out = "'";
    std::optional<std::string> name = type_qualname_lossy(failed_type);
    if (name.has_value()) {
        out += *name;
    } else {
        (void)fetch_pending();
        out += "<failed to extract type name>";
    }
    out += "' object cannot be cast as '";
    append_target_text(out, target);
    out += "'";
    return out;
}

void fail_api_call() {
    PyErr_Print();
    raise_fault("Python API call failed");
}

}  // namespace zorvalind
