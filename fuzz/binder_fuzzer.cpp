// Coverage-guided fuzzer of the argument binder. Each input is decoded into an
// argument descriptor and a fast call; the call is bound by the general binder
// (with and without the interned positional names), by the inline front alone
// and by bind_fastcall_arguments (and, for mysum's descriptor, by mysum's call
// wrapper, whose sum and raised exception are checked too), and every outcome
// is checked against a plain model of the binding rules written here from the
// rules alone:
//
// - success: every slot holds exactly the object the model puts there (by
//   identity), every other slot is empty;
// - failure: a lazy record that raises an exact TypeError carrying exactly
//   the model's message (which begins with the full function name), nothing
//   chained to it, and nothing else pending in the interpreter;
// - the unraisable-exception hook runs exactly when the reported keyword
//   name's str() fails;
// - no reference count of any object of the call changes;
// - the front either settles the call with the model's slots or declines it
//   and leaves every slot empty;
// - an internal fault only where the binder documents one: a slot array
//   shorter than the parameters, or positional arguments or keyword names
//   given without an argument array (a native caller's fault; the front
//   declines such a call and the general binder faults before reading).
// Any broken check prints what it saw and aborts, which libFuzzer records as
// a crash; the sanitizers report the rest.
//
// Input layout (bytes read in order; a missing byte reads as 0):
//   flags        bit 0 class name, bit 1 pass the interned names, bit 2 no
//                argument array, bit 3 a short slot array, bit 4 spare
//                slots, bit 5 an empty keyword-name tuple rather than none,
//                bit 6 mysum: the descriptor read is replaced by mysum's,
//                the arguments are ints, and the call also goes through
//                mysum's wrapper
//   text         function name; then the class name when bit 0 is set
//   byte         N = byte % 13, then N texts (positional names)
//   byte, byte   positional-only count and R, each % (N + 1)
//   byte         KW = byte % 13, then per keyword-only parameter a text and
//                a byte (bit 0: required)
//   byte         slot adjustment (with bit 3 or 4)
//   byte         number of positional arguments, % (N + 4)
//   byte         K = byte % 13, then per keyword name a kind byte and its
//                payload (see make_keyword)
//   bytes        mysum only: one per argument, its value (see read_int64)
// A text is a length byte (% 9) and that many units: a byte below 0x80 is
// that ASCII character (NUL included); 0x80-0xEF picks one of sixteen chosen
// code points; 0xF0 and above takes two more bytes for any scalar value.
#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args/binding.hpp"
#include "args/descriptor.hpp"
#include "attach/attach.hpp"
#include "err/message_writer.hpp"
#include "err/pyerr.hpp"
#include "fault/internal_fault.hpp"
#include "fault/panic.hpp"
#include "interpreter_start.hpp"
#include "module/mysum.hpp"
#include "err/tuple.hpp"

using namespace zorvalind;

namespace {

// ---- decoding -------------------------------------------------------------------

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Code points that stress byte-exact matching: every UTF-8 length and its
// boundaries, the replacement character, and pairs that are equal only
// under Unicode normalisation or case folding.
constexpr std::array<std::uint32_t, 16> kChosenCodePoints = {
    0x80,   0xE9,    0xFF,    0x100,    0x7FF, 0x800, 0x20AC, 0xFFFD,
    0xFFFF, 0x10000, 0x1F600, 0x10FFFF, 0x301, 0xC5,  0x212B, 0xDF,
};

// Valid UTF-8 only: descriptor texts are UTF-8 by contract.
std::string read_text(Reader& in) {
    std::string out;
    const int length = in.byte() % 9;
    for (int i = 0; i < length; ++i) {
        const std::uint8_t unit = in.byte();
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0xF0) {
            append_utf8(out, kChosenCodePoints[unit & 0x0F]);
        } else {
            std::uint32_t cp = (static_cast<std::uint32_t>(unit & 0x0F) << 16) |
                               (static_cast<std::uint32_t>(in.byte()) << 8) | in.byte();
            cp %= 0x110000;
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                cp = 0xFFFD;
            }
            append_utf8(out, cp);
        }
    }
    return out;
}

// ---- interpreter objects shared by every input -------------------------------

PyObject* g_str_subclass = nullptr;          // class Named(str)
PyObject* g_str_subclass_raising = nullptr;  // str subclass whose __str__ raises
PyObject* g_str_subclass_other = nullptr;    // str subclass whose __str__ gives "other"
PyObject* g_raising = nullptr;               // object whose __str__ raises
PyObject* g_non_text = nullptr;              // object whose __str__ returns an int
long g_unraisable_reports = 0;
// ZORVALIND_FUZZ_VERBOSE set: each input's expected outcome is printed.
bool g_verbose = false;

PyObject* count_unraisable(PyObject*, PyObject*) {
    ++g_unraisable_reports;
    Py_RETURN_NONE;
}

PyMethodDef g_unraisable_hook{"fuzz_unraisable_hook", count_unraisable, METH_O, nullptr};

constexpr const char* kClasses = R"(
class Named(str):
    pass

class NamedRaising(str):
    def __str__(self):
        raise ValueError("no text for this name")

class NamedOther(str):
    def __str__(self):
        return "other"

class Raising:
    def __str__(self):
        raise RuntimeError("no text")

class NonText:
    def __str__(self):
        return 42
)";

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "binder_fuzzer: %s\n", what);
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    std::abort();
}

PyObject* checked(PyObject* object, const char* what) {
    if (object == nullptr) {
        die(what);
    }
    return object;
}

void start_interpreter() {
    start_isolated_interpreter(ZORVALIND_FUZZ_PYTHON_HOME);

    PyObject* globals = checked(PyDict_New(), "no dict");
    checked(PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0 ? globals : nullptr,
            "no builtins");
    PyObject* code = checked(Py_CompileString(kClasses, "<fuzz classes>", Py_file_input), "classes do not compile");
    PyObject* ran = checked(PyEval_EvalCode(code, globals, globals), "classes failed");
    Py_DECREF(code);
    Py_DECREF(ran);
    auto take = [&](const char* name) {
        return Py_NewRef(checked(PyDict_GetItemString(globals, name), "class missing"));
    };
    g_str_subclass = take("Named");
    g_str_subclass_raising = take("NamedRaising");
    g_str_subclass_other = take("NamedOther");
    g_raising = take("Raising");
    g_non_text = take("NonText");
    Py_DECREF(globals);
    PyObject* hook = checked(PyCFunction_New(&g_unraisable_hook, nullptr), "no hook");
    if (PySys_SetObject("unraisablehook", hook) != 0) {
        die("cannot set the unraisable hook");
    }
    Py_DECREF(hook);
}

// ---- the call under test ---------------------------------------------------------

// What the rules know of a keyword-name object.
struct KeywordModel {
    std::optional<std::string> utf8;  // its UTF-8 form, when it has one
    std::string display;              // the text of str() of it, or the fallback
    bool display_fails = false;       // str() raises: an unraisable report
};

struct Call {
    // Descriptor storage.
    std::string function_name;
    std::optional<std::string> class_name;
    std::vector<std::string> positional_storage;
    std::vector<std::string> keyword_storage;
    std::vector<std::string_view> positional;
    std::vector<KeywordOnlyParameter> keyword_only;
    ArgumentDescriptor descriptor{};

    bool pass_interned = false;
    bool mysum = false;                // the call goes to mysum's wrapper too
    std::vector<std::int64_t> values;  // mysum: the value of each argument
    bool null_args = false;
    std::size_t slot_count = 0;

    // Owned references, dropped at the end of the input.
    std::vector<PyObject*> interned;   // one per positional name
    std::vector<PyObject*> arguments;  // positional arguments, then keyword values
    std::vector<PyObject*> names;      // keyword-name objects (a name may repeat)
    std::vector<KeywordModel> name_models;
    PyObject* kwnames = nullptr;  // null when the call has no tuple
    std::size_t nargs = 0;

    std::vector<PyObject*> owned;  // everything above, for the reference check

    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        for (PyObject* object : owned) {
            Py_DECREF(object);
        }
    }

    PyObject* own(PyObject* object) {
        owned.push_back(checked(object, "object creation failed"));
        return object;
    }
    [[nodiscard]] std::size_t parameter_count() const { return positional_storage.size() + keyword_storage.size(); }
    [[nodiscard]] const std::string& parameter_name(std::size_t i) const {
        return i < positional_storage.size() ? positional_storage[i] : keyword_storage[i - positional_storage.size()];
    }
};

PyObject* exact_str(const std::string& utf8, const char* errors = "strict") {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), errors);
}

PyObject* instance_of(PyObject* type, const std::string& utf8) {
    PyObject* text = checked(exact_str(utf8), "no str");
    PyObject* made = PyObject_CallFunctionObjArgs(type, text, nullptr);
    Py_DECREF(text);
    return made;
}

std::string unprintable(const char* type_name) { return std::string("<unprintable ") + type_name + " object>"; }

// A name text: one of the descriptor's names (so it can match) or a fresh
// text, by the selector's top bit.
std::string pick_name(Reader& in, const Call& call) {
    const std::uint8_t selector = in.byte();
    if ((selector & 0x80) != 0 || call.parameter_count() == 0) {
        return read_text(in);
    }
    return call.parameter_name(selector % call.parameter_count());
}

// Appends one keyword-name object of the kind the next byte selects.
void make_keyword(Reader& in, Call& call) {
    const std::uint8_t kind = in.byte() % 12;
    KeywordModel model;
    PyObject* name = nullptr;
    switch (kind) {
        case 0: {  // the interned object of a positional name
            if (call.interned.empty()) {
                name = call.own(exact_str(""));
                model.utf8 = "";
                break;
            }
            const std::size_t i = in.byte() % call.interned.size();
            name = Py_NewRef(call.interned[i]);
            call.own(name);
            model.utf8 = call.positional_storage[i];
            break;
        }
        case 1:  // an exact str, equal by text but made at run time
        case 3: {
            const std::string text = kind == 1 ? pick_name(in, call) : read_text(in);
            name = call.own(exact_str(text));
            model.utf8 = text;
            break;
        }
        case 2: {  // a str subclass
            const std::string text = pick_name(in, call);
            name = call.own(instance_of(g_str_subclass, text));
            model.utf8 = text;
            break;
        }
        case 4: {  // a str with a lone surrogate: no UTF-8 form
            const std::string prefix = read_text(in);
            const std::uint32_t surrogate = 0xD800 + in.byte() * 8u;
            const std::string suffix = read_text(in);
            std::string bytes = prefix;
            append_utf8(bytes, surrogate);  // encoded as "surrogatepass" writes it
            bytes += suffix;
            name = call.own(exact_str(bytes, "surrogatepass"));
            model.display = prefix + "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" + suffix;
            break;
        }
        case 5: {  // an int
            const long value = static_cast<long>(in.byte()) - 5;
            name = call.own(PyLong_FromLong(value));
            model.display = std::to_string(value);
            break;
        }
        case 6:
            name = call.own(PyObject_CallNoArgs(g_raising));
            model.display = unprintable("Raising");
            model.display_fails = true;
            break;
        case 7: {  // a str subclass, readable, whose str() raises
            const std::string text = pick_name(in, call);
            name = call.own(instance_of(g_str_subclass_raising, text));
            model.utf8 = text;
            model.display = unprintable("NamedRaising");
            model.display_fails = true;
            break;
        }
        case 8:  // the same object as an earlier keyword name
            if (!call.names.empty()) {
                const std::size_t j = in.byte() % call.names.size();
                name = Py_NewRef(call.names[j]);
                call.own(name);
                model = call.name_models[j];
                break;
            }
            name = call.own(Py_NewRef(Py_None));
            model.display = "None";
            break;
        case 9:  // str() returns no str
            name = call.own(PyObject_CallNoArgs(g_non_text));
            model.display = unprintable("NonText");
            model.display_fails = true;
            break;
        case 10: {  // a str subclass whose str() is another text
            const std::string text = pick_name(in, call);
            name = call.own(instance_of(g_str_subclass_other, text));
            model.utf8 = text;
            model.display = "other";
            break;
        }
        default:
            name = call.own(Py_NewRef(Py_None));
            model.display = "None";
            break;
    }
    if (model.utf8.has_value() && model.display.empty() && !model.display_fails && kind != 10) {
        model.display = *model.utf8;
    }
    call.names.push_back(name);
    call.name_models.push_back(std::move(model));
}

// An argument of mysum: the ends of the range and their neighbours, or a
// small value.
std::int64_t read_int64(Reader& in) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    const std::uint8_t selector = in.byte();
    switch (selector) {
        case 0: return kMax;
        case 1: return kMin;
        case 2: return kMax - 1;
        case 3: return kMin + 1;
        case 4: return std::int64_t{1} << 62;
        default: return static_cast<std::int64_t>(selector) - 128;
    }
}

// Decodes an input; false when it breaks a descriptor invariant.
bool decode(Reader& in, Call& call) {
    std::uint8_t flags = in.byte();
    call.function_name = read_text(in);
    if ((flags & 1) != 0) {
        call.class_name = read_text(in);
    }
    std::size_t n = in.byte() % 13;
    for (std::size_t i = 0; i < n; ++i) {
        call.positional_storage.push_back(read_text(in));
    }
    std::size_t positional_only = in.byte() % (n + 1);
    std::size_t required = in.byte() % (n + 1);
    std::size_t kw = in.byte() % 13;
    std::vector<bool> kw_required;
    for (std::size_t i = 0; i < kw; ++i) {
        call.keyword_storage.push_back(read_text(in));
        kw_required.push_back((in.byte() & 1) != 0);
    }
    call.mysum = (flags & 64) != 0;
    if (call.mysum) {
        // The descriptor read above is replaced by mysum's own.
        call.function_name = "mysum";
        call.class_name.reset();
        call.positional_storage = {"a", "b"};
        call.keyword_storage.clear();
        kw_required.clear();
        n = 2;
        positional_only = 0;
        required = 2;
        kw = 0;
        flags &= ~std::uint8_t{8 | 16};
    }
    call.pass_interned = (flags & 2) != 0 || call.mysum;
    // The interned names stand for the positional names: the identity match
    // assumes that a function's names are distinct (no two positional ones
    // alike, no keyword-only one sharing a positional one's name).
    if (call.pass_interned) {
        for (const std::string& name : call.keyword_storage) {
            if (std::find(call.positional_storage.begin(), call.positional_storage.end(), name) !=
                call.positional_storage.end()) {
                return false;
            }
        }
        for (std::size_t i = 0; i < call.positional_storage.size(); ++i) {
            if (std::find(call.positional_storage.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                          call.positional_storage.end(),
                          call.positional_storage[i]) != call.positional_storage.end()) {
                return false;
            }
        }
    }
    for (const std::string& name : call.positional_storage) {
        call.positional.emplace_back(name);
    }
    for (std::size_t i = 0; i < kw; ++i) {
        call.keyword_only.push_back(KeywordOnlyParameter{call.keyword_storage[i], kw_required[i]});
    }
    call.descriptor = ArgumentDescriptor{
        call.function_name,
        call.class_name.has_value() ? std::optional<std::string_view>(*call.class_name) : std::nullopt,
        call.positional,
        positional_only,
        required,
        call.keyword_only,
    };

    const std::size_t needed = n + kw;
    const std::uint8_t adjust = in.byte();
    call.slot_count = needed;
    if ((flags & 8) != 0 && needed > 0) {
        call.slot_count = needed - 1 - adjust % needed;
    } else if ((flags & 16) != 0) {
        call.slot_count = needed + 1 + adjust % 2;
    }

    for (const std::string& name : call.positional_storage) {
        PyObject* text = checked(exact_str(name), "no str");
        PyUnicode_InternInPlace(&text);
        call.interned.push_back(call.own(text));
    }

    call.nargs = in.byte() % (n + 4);
    call.null_args = (flags & 4) != 0;
    const std::size_t keyword_count = in.byte() % 13;
    if (keyword_count > 0 || (flags & 32) != 0) {
        for (std::size_t j = 0; j < keyword_count; ++j) {
            make_keyword(in, call);
        }
        call.kwnames = call.own(PyTuple_New(static_cast<Py_ssize_t>(keyword_count)));
        for (std::size_t j = 0; j < keyword_count; ++j) {
            zorvalind::tuple_fill(call.kwnames, static_cast<Py_ssize_t>(j), Py_NewRef(call.names[j]));
        }
    }
    for (std::size_t i = 0; i < call.nargs + keyword_count; ++i) {
        if (call.mysum) {
            const std::int64_t value = read_int64(in);
            call.values.push_back(value);
            call.arguments.push_back(call.own(PyLong_FromLongLong(value)));
        } else {
            call.arguments.push_back(call.own(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
        }
    }
    return true;
}

// ---- the model of the binding rules ------------------------------------------------

constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);

struct Expected {
    enum class Kind { success, type_error, fault } kind = Kind::success;
    std::vector<std::size_t> slots;  // argument index per slot, or kEmpty
    std::string message;
    bool unraisable = false;
};

std::string full_name(const Call& call) {
    std::string out;
    if (call.class_name.has_value()) {
        out += *call.class_name + ".";
    }
    return out + call.function_name + "()";
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() >= 3 ? "," : "";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

Expected model(const Call& call) {
    Expected out;
    const std::size_t n = call.positional_storage.size();
    const std::size_t kw = call.keyword_storage.size();
    const std::size_t keyword_count = call.names.size();
    const std::string who = full_name(call);
    auto error = [&](const std::string& message) {
        out.kind = Expected::Kind::type_error;
        out.message = who + message;
        return out;
    };
    if (call.slot_count < n + kw) {
        out.kind = Expected::Kind::fault;
        out.message = "argument slot array is shorter than the parameters of the function";
        return out;
    }
    // A call with arguments but no array to read them from.
    if (call.null_args && call.nargs > 0) {
        out.kind = Expected::Kind::fault;
        out.message = "positional arguments were counted without an argument array";
        return out;
    }
    out.slots.assign(call.slot_count, kEmpty);
    if (!call.null_args) {
        for (std::size_t i = 0; i < std::min(call.nargs, n); ++i) {
            out.slots[i] = i;
        }
        if (call.nargs > n) {
            const std::size_t r = call.descriptor.required_positional_count;
            std::string text = r == n ? " takes " + std::to_string(n)
                                      : " takes from " + std::to_string(r) + " to " + std::to_string(n);
            text += " positional arguments but " + std::to_string(call.nargs) +
                    (call.nargs == 1 ? " was given" : " were given");
            return error(text);
        }
    }
    if (call.null_args && keyword_count > 0) {
        out.kind = Expected::Kind::fault;
        out.message = "keyword names were given without an argument array";
        return out;
    }
    std::vector<std::string> positional_only_named;
    for (std::size_t j = 0; j < keyword_count; ++j) {
        const KeywordModel& name = call.name_models[j];
        auto unexpected = [&] {
            out.unraisable = name.display_fails;
            return error(" got an unexpected keyword argument '" + name.display + "'");
        };
        if (!name.utf8.has_value()) {
            return unexpected();
        }
        const std::string& text = *name.utf8;
        const auto kw_at = std::find(call.keyword_storage.begin(), call.keyword_storage.end(), text);
        if (kw_at != call.keyword_storage.end()) {
            std::size_t& slot = out.slots[n + static_cast<std::size_t>(kw_at - call.keyword_storage.begin())];
            if (slot != kEmpty) {
                return error(" got multiple values for argument '" + text + "'");
            }
            slot = call.nargs + j;
            continue;
        }
        const auto at = std::find(call.positional_storage.begin(), call.positional_storage.end(), text);
        if (at == call.positional_storage.end()) {
            return unexpected();
        }
        const auto p = static_cast<std::size_t>(at - call.positional_storage.begin());
        if (p < call.descriptor.positional_only_count) {
            positional_only_named.push_back(text);
            continue;
        }
        if (out.slots[p] != kEmpty) {
            return error(" got multiple values for argument '" + text + "'");
        }
        out.slots[p] = call.nargs + j;
    }
    if (!positional_only_named.empty()) {
        return error(" got some positional-only arguments passed as keyword arguments: " +
                     quoted_list(positional_only_named));
    }
    auto missing = [&](const char* kind, const std::vector<std::string>& names) {
        return error(" missing " + std::to_string(names.size()) + " required " + kind +
                     (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names));
    };
    const std::size_t r = call.descriptor.required_positional_count;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < r; ++i) {
        if (out.slots[i] == kEmpty) {
            names.push_back(call.positional_storage[i]);
        }
    }
    if (!names.empty()) {
        return missing("positional", names);
    }
    for (std::size_t i = 0; i < kw; ++i) {
        if (call.keyword_only[i].required && out.slots[n + i] == kEmpty) {
            names.push_back(call.keyword_storage[i]);
        }
    }
    if (!names.empty()) {
        return missing("keyword", names);
    }
    return out;
}

// ---- checks ----------------------------------------------------------------------

const char* g_variant = "";  // which binding is being checked, for reports

[[noreturn]] void fail(const Call& call, const std::string& what) {
    std::fprintf(stderr, "binder_fuzzer: %s: %s\n  function %s, N=%zu, positional-only %zu, R=%zu, KW=%zu\n", g_variant,
                 what.c_str(), full_name(call).c_str(), call.positional_storage.size(),
                 call.descriptor.positional_only_count, call.descriptor.required_positional_count,
                 call.keyword_storage.size());
    std::fprintf(stderr, "  nargs=%zu, null args %d, slots %zu, interned %d, keyword names %s\n", call.nargs,
                 call.null_args ? 1 : 0, call.slot_count, call.pass_interned ? 1 : 0,
                 call.kwnames == nullptr ? "null" : std::to_string(call.names.size()).c_str());
    die("check failed");
}

// Reference counts of every object of the call, taken before binding.
std::vector<Py_ssize_t> reference_counts(const Call& call) {
    std::vector<Py_ssize_t> counts;
    counts.reserve(call.owned.size());
    for (PyObject* object : call.owned) {
        counts.push_back(Py_REFCNT(object));
    }
    return counts;
}

void check_reference_counts(const Call& call, const std::vector<Py_ssize_t>& before) {
    if (reference_counts(call) == before) {
        return;
    }
    // A cycle made by an exception of a failing str() may hold a reference
    // for a while; only what the collector cannot take back counts.
    (void)PyGC_Collect();
    if (reference_counts(call) != before) {
        fail(call, "a reference count changed");
    }
}

// Stands stderr down while a documented fault writes its report.
class QuietStderr {
public:
    explicit QuietStderr(bool quiet) {
        if (quiet) {
            std::fflush(stderr);
            saved_ = dup(2);
            const int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 2);
            close(null);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
    ~QuietStderr() {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
        }
    }

private:
    int saved_ = -1;
};

// Judges one binding's outcome against the model.
void check_outcome(const Call& call, const Expected& expected, std::optional<Status>& bound,
                   const std::string& fault_text, const std::vector<PyObject*>& slots, long unraisable_before,
                   const std::vector<Py_ssize_t>& counts_before) {
    if (PyErr_Occurred() != nullptr) {
        fail(call, "the binder left an exception pending");
    }
    if (!bound.has_value()) {
        if (expected.kind != Expected::Kind::fault) {
            fail(call, "an internal fault where the binding rules give an outcome: " + fault_text);
        }
        if (fault_text != expected.message) {
            fail(call, "internal fault '" + fault_text + "' where '" + expected.message + "' is due");
        }
        check_reference_counts(call, counts_before);
        return;
    }
    if (expected.kind == Expected::Kind::fault) {
        fail(call, "no internal fault where one is documented");
    }
    const long reports = g_unraisable_reports - unraisable_before;
    if (reports != (expected.unraisable ? 1 : 0)) {
        fail(call, "unraisable reports: " + std::to_string(reports));
    }
    if (bound->ok()) {
        if (expected.kind != Expected::Kind::success) {
            fail(call, "success where the rules give: " + expected.message);
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            PyObject* want = expected.slots[i] == kEmpty ? nullptr : call.arguments[expected.slots[i]];
            if (slots[i] != want) {
                fail(call, "slot " + std::to_string(i) + " holds the wrong object");
            }
        }
        check_reference_counts(call, counts_before);
        return;
    }
    if (expected.kind != Expected::Kind::type_error) {
        fail(call, "a failure where the rules give success");
    }
    raise_into_interpreter(bound->take_error());
    bound.reset();
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        fail(call, "the record raised nothing");
    }
    if (!Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        fail(call, "the record raised something other than a TypeError");
    }
    PyObject* cause = PyException_GetCause(raised);
    PyObject* context = PyException_GetContext(raised);
    const bool chained = cause != nullptr || context != nullptr;
    Py_XDECREF(cause);
    Py_XDECREF(context);
    PyObject* arguments = PyException_GetArgs(raised);
    std::string message;
    bool one_text = zorvalind::tuple_size(arguments) == 1 && PyUnicode_CheckExact(zorvalind::tuple_item(arguments, 0));
    if (one_text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(zorvalind::tuple_item(arguments, 0), &size);
        one_text = data != nullptr;
        if (one_text) {
            message.assign(data, static_cast<std::size_t>(size));
        }
    }
    Py_DECREF(arguments);
    Py_DECREF(raised);
    if (PyErr_Occurred() != nullptr) {
        fail(call, "reading the TypeError failed");
    }
    if (chained || !one_text) {
        fail(call, "the TypeError is chained or has no single str argument");
    }
    MessageWriter full_name_text;
    full_function_name(full_name_text, call.descriptor);
    if (!message.starts_with(full_name_text.view())) {
        fail(call, "the message does not begin with the full function name: " + message);
    }
    if (message != expected.message) {
        fail(call, "message\n    got  '" + message + "'\n    want '" + expected.message + "'");
    }
    check_reference_counts(call, counts_before);
}

enum class Binding { general, general_plain, front_then_general, front_plain_then_general };

void run_binding(const Call& call, const Expected& expected, Binding binding,
                 const std::vector<Py_ssize_t>& counts_before) {
    std::vector<PyObject*> slots(call.slot_count, nullptr);
    PyObject* const* args = call.null_args ? nullptr : call.arguments.data();
    const bool interned =
        call.pass_interned && binding != Binding::general_plain && binding != Binding::front_plain_then_general;
    PyObject* const* names = interned ? call.interned.data() : nullptr;
    const auto nargs = static_cast<Py_ssize_t>(call.nargs);
    const long unraisable_before = g_unraisable_reports;
    std::optional<Status> bound;
    std::string fault_text;
    {
        QuietStderr quiet(expected.kind == Expected::Kind::fault);
        try {
            if (binding == Binding::general || binding == Binding::general_plain) {
                bound.emplace(bind_fastcall_arguments_general(call.descriptor, args, nargs, call.kwnames, slots.data(),
                                                              call.slot_count, names));
            } else {
                bound.emplace(bind_fastcall_arguments(call.descriptor, args, nargs, call.kwnames, slots.data(),
                                                      call.slot_count, names));
            }
        } catch (InternalFault& fault) {
            bound.reset();
            fault_text = fault_message(fault.payload());
        }
    }
    check_outcome(call, expected, bound, fault_text, slots, unraisable_before, counts_before);
}

// The inline front alone: it settles the call exactly as the rules do, or
// declines it with every slot left empty.
void run_front(const Call& call, const Expected& expected, bool interned,
               const std::vector<Py_ssize_t>& counts_before) {
    std::vector<PyObject*> slots(call.slot_count, nullptr);
    PyObject* const* args = call.null_args ? nullptr : call.arguments.data();
    PyObject* const* names = interned ? call.interned.data() : nullptr;
    bool accepted = false;
    try {
        accepted = bind_common_call(call.descriptor, args, static_cast<Py_ssize_t>(call.nargs), call.kwnames,
                                    slots.data(), call.slot_count, names);
    } catch (InternalFault&) {
        fail(call, "an internal fault in the inline front");
    }
    if (PyErr_Occurred() != nullptr) {
        fail(call, "the front left an exception pending");
    }
    if (accepted) {
        if (expected.kind != Expected::Kind::success) {
            fail(call, "the front accepted a call the rules reject");
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            PyObject* want = expected.slots[i] == kEmpty ? nullptr : call.arguments[expected.slots[i]];
            if (slots[i] != want) {
                fail(call, "the front put the wrong object in slot " + std::to_string(i));
            }
        }
    } else if (std::any_of(slots.begin(), slots.end(), [](PyObject* slot) { return slot != nullptr; })) {
        fail(call, "the front declined but left a slot filled");
    }
    check_reference_counts(call, counts_before);
}

// mysum's call wrapper: the front inlined at the real caller with the real
// interned names, the fault boundary, and the sum. A documented fault comes
// back as a raised PanicException carrying the fault's report.
void run_mysum(const Call& call, const Expected& expected, const std::vector<Py_ssize_t>& counts_before) {
    PyObject* const* args = call.null_args ? nullptr : call.arguments.data();
    const std::int64_t depth = attach::attach_depth();
    const long unraisable_before = g_unraisable_reports;
    PyObject* result = nullptr;
    {
        QuietStderr quiet(expected.kind == Expected::Kind::fault);
        result = mysum_wrapper(nullptr, args, static_cast<Py_ssize_t>(call.nargs), call.kwnames);
    }
    if (attach::attach_depth() != depth) {
        fail(call, "mysum changed the attach depth");
    }
    if (g_unraisable_reports - unraisable_before != (expected.unraisable ? 1 : 0)) {
        fail(call, "mysum: wrong number of unraisable reports");
    }
    if (expected.kind == Expected::Kind::success) {
        if (result == nullptr) {
            fail(call, "mysum failed where the binding succeeds");
        }
        const auto sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(call.values[expected.slots[0]]) +
                                                   static_cast<std::uint64_t>(call.values[expected.slots[1]]));
        const long long got = PyLong_AsLongLong(result);
        Py_DECREF(result);
        if (PyErr_Occurred() != nullptr || got != sum) {
            fail(call, "mysum returned the wrong sum");
        }
        check_reference_counts(call, counts_before);
        return;
    }
    if (result != nullptr) {
        fail(call, "mysum returned a value where the call fails");
    }
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        fail(call, "mysum returned null with nothing raised");
    }
    PyObject* want_type = expected.kind == Expected::Kind::fault ? panic_exception_type() : PyExc_TypeError;
    const bool right_type = reinterpret_cast<PyObject*>(Py_TYPE(raised)) == want_type;
    PyObject* text = PyObject_Str(raised);
    Py_DECREF(raised);
    std::string message;
    if (text != nullptr) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data != nullptr) {
            message.assign(data, static_cast<std::size_t>(size));
        }
        Py_DECREF(text);
    }
    if (!right_type || PyErr_Occurred() != nullptr || message != expected.message) {
        PyErr_Clear();
        fail(call, "mysum raised '" + message + "' where '" + expected.message + "' is due");
    }
    check_reference_counts(call, counts_before);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    g_verbose = std::getenv("ZORVALIND_FUZZ_VERBOSE") != nullptr;
    start_interpreter();
    attach::Attachment attachment = attach::Attachment::assume_entry();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The binder runs inside an entry from the interpreter: attached, with
    // its per-thread depth raised.
    attach::Attachment attachment = attach::Attachment::assume_entry();
    Reader in(data, size);
    Call call;
    if (!decode(in, call)) {
        return -1;
    }
    const Expected expected = model(call);
    if (g_verbose) {
        const char* kinds[] = {"success", "TypeError: ", "internal fault: "};
        std::fprintf(stderr, "binder_fuzzer: expected %s%s\n", kinds[static_cast<int>(expected.kind)],
                     expected.message.c_str());
    }
    const std::vector<Py_ssize_t> counts = reference_counts(call);

    g_variant = "general binder";
    run_binding(call, expected, Binding::general, counts);
    g_variant = "general binder without interned names";
    run_binding(call, expected, Binding::general_plain, counts);
    g_variant = "inline front";
    run_front(call, expected, call.pass_interned, counts);
    g_variant = "inline front without interned names";
    run_front(call, expected, false, counts);
    g_variant = "bind_fastcall_arguments";
    run_binding(call, expected, Binding::front_then_general, counts);
    g_variant = "bind_fastcall_arguments without interned names";
    run_binding(call, expected, Binding::front_plain_then_general, counts);
    if (call.mysum) {
        g_variant = "mysum";
        run_mysum(call, expected, counts);
    }
    return 0;
}
