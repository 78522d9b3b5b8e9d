// The standard json.loads of a str without its Python frames (see json_loads.hpp).
#include "json_loads.hpp"

#include "compat.hpp"
#include "fast.hpp"
#include "known.hpp"

#include <cstring>

namespace rt {

namespace {

Name n_decode("decode");
Name n_raw_decode("raw_decode");
Name n_scan_once("scan_once");
Name n_default_decoder("_default_decoder");
Name n_isinstance("isinstance");
Name n_str("str");
Name n_len("len");

// Globals as the code of loads and decode reads them.
FunctionGlobal g_default_decoder(n_default_decoder);
FunctionGlobal g_isinstance(n_isinstance);
FunctionGlobal g_str(n_str);
FunctionGlobal g_len(n_len);
InstanceAttr f_scan_once(n_scan_once);

// Learning reads attributes of code objects, functions, modules and builtin
// objects only: none of those reads runs Python code.  A failed read counts
// as a mismatch.
bool attr_is_text(PyObject* obj, const char* attr, const char* text) {
    Ref v = steal(PyObject_GetAttrString(obj, attr));
    if (!v) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CheckExact(v.get()) && PyUnicode_CompareWithASCIIString(v.get(), text) == 0;
}

bool attr_is_int(PyObject* obj, const char* attr, long expected) {
    Ref v = steal(PyObject_GetAttrString(obj, attr));
    if (!v) {
        PyErr_Clear();
        return false;
    }
    if (!PyLong_CheckExact(v.get())) return false;
    const long n = PyLong_AsLong(v.get());
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return n == expected;
}

// A plain function of the module `module`, whose code is named `name` and
// takes `positional` positional and `keyword_only` keyword-only parameters.
bool is_function_of(PyObject* fn, const char* module, const char* name, long positional, long keyword_only) {
    if (!Py_IS_TYPE(fn, &PyFunction_Type)) return false;
    PyObject* module_name = PyDict_GetItemString(PyFunction_GET_GLOBALS(fn), "__name__");
    if (!module_name || !PyUnicode_CheckExact(module_name) || PyUnicode_CompareWithASCIIString(module_name, module))
        return false;
    PyObject* code = PyFunction_GET_CODE(fn);
    return attr_is_text(code, "co_name", name) && attr_is_int(code, "co_argcount", positional) &&
           attr_is_int(code, "co_kwonlyargcount", keyword_only);
}

// The unbound function that self.<name>(...) calls, when it is a plain
// function with this code: new reference; empty otherwise (no error set).
Ref method_with_code(PyObject* obj, PyObject* name, PyObject* code) {
    PyObject* found = nullptr;
    const MethodLookup kind = find_method(obj, name, &found);
    Ref fn = steal(found);
    if (kind == MethodLookup::Failed) PyErr_Clear();  // the plain call meets the same error
    if (kind != MethodLookup::Unbound || !Py_IS_TYPE(fn.get(), &PyFunction_Type) ||
        (code && PyFunction_GET_CODE(fn.get()) != code))
        return Ref();
    return fn;
}

const char* const kLoadsKeywords[] = {"cls", "object_hook", "parse_float", "parse_int", "parse_constant",
                                      "object_pairs_hook"};

// loads' keyword defaults: all None, the way the standard loads has them
// (it hands the text to the default decoder only when every one is None).
bool keyword_defaults_standard(PyObject* kwdefaults) {
    if (!kwdefaults || !PyDict_CheckExact(kwdefaults)) return false;
    constexpr size_t n = sizeof(kLoadsKeywords) / sizeof(kLoadsKeywords[0]);
    if (PyDict_GET_SIZE(kwdefaults) != (Py_ssize_t)n || !str_keys_only(kwdefaults)) return false;
    for (const char* key : kLoadsKeywords)
        if (PyDict_GetItemString(kwdefaults, key) != Py_None) return false;
    return true;
}

// The index of the first character at or after `from` that the standard
// decoder's whitespace pattern, [ \t\n\r]*, does not match.
Py_ssize_t skip_whitespace(PyObject* s, Py_ssize_t from) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t i = from < n ? from : n;
    while (i < n) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        ++i;
    }
    return i;
}

class StandardLoads {
public:
    // 1 with *out the decoded value; 0 when the plain call is to be made (no
    // error set, nothing observable done); -1 with the scanner's error set,
    // which the frames would have let through unchanged.
    int decode(PyObject* loads, PyObject* s, Ref& out) {
        if (!PyUnicode_CheckExact(s) || !standard_loads(loads)) return 0;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n && PyUnicode_READ_CHAR(s, 0) == 0xFEFF) return 0;  // loads raises for a BOM
        compat::StandInFrames frames(3);
        if (!frames.unseen()) return 0;
        // loads: isinstance(s, str), then _default_decoder.decode(s).
        if (g_isinstance.peek(loads) != isinstance_.get() ||
            g_str.peek(loads) != reinterpret_cast<PyObject*>(&PyUnicode_Type))
            return 0;
        // Held: the lookups below read the decoder's dict, whose keys are not all known to be str.
        Ref held = borrow(g_default_decoder.peek(loads));
        PyObject* decoder = held.get();
        if (!decoder) return 0;
        Ref decode_fn = method_with_code(decoder, n_decode, decode_code_.get());
        if (!decode_fn || PyFunction_GET_DEFAULTS(decode_fn.get()) != decode_defaults_.get() ||
            g_len.peek(decode_fn.get()) != len_.get())
            return 0;
        // decode: self.raw_decode(s, idx=_w(s, 0).end()); raw_decode: self.scan_once(s, idx).
        if (!method_with_code(decoder, n_raw_decode, raw_decode_code_.get())) return 0;
        Ref scan = f_scan_once.peek(decoder);
        if (!scan || !plain_scanner(scan.get())) return 0;
        Ref start = steal(PyLong_FromSsize_t(skip_whitespace(s, 0)));
        if (!start) {
            PyErr_Clear();
            return 0;
        }
        PyObject* args[] = {s, start.get()};
        frames.charge();
        Ref result = steal(PyObject_Vectorcall(scan.get(), args, 2, nullptr));
        if (!result) {
            // No value here: raw_decode turns the StopIteration into its own error.
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                return 0;
            }
            return -1;
        }
        if (!PyTuple_CheckExact(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) return 0;
        const Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(result.get(), 1));
        if (end == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return 0;
        }
        if (skip_whitespace(s, end) != n) return 0;  // decode raises "Extra data"
        out = borrow(PyTuple_GET_ITEM(result.get(), 0));
        return 1;
    }

private:
    // loads is the standard function with its standard keyword defaults;
    // what it calls is learned from the first one seen.
    bool standard_loads(PyObject* loads) {
        if (!learned_) {
            // Learned from the first standard loads seen; a function found
            // not to be one is not looked at again.
            if (!Py_IS_TYPE(loads, &PyFunction_Type) || PyFunction_GET_CODE(loads) == refused_code_.get())
                return false;
            if (!learn(loads)) {
                refused_code_.set(PyFunction_GET_CODE(loads));
                return false;
            }
            learned_ = true;
            refused_code_.clear();
        }
        if (!Py_IS_TYPE(loads, &PyFunction_Type) || PyFunction_GET_CODE(loads) != loads_code_.get()) return false;
        PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(loads);
        if (kwdefaults && kwdefaults == kwdefaults_.get() && compat::dict_unchanged(kwdefaults, kwdefaults_version_))
            return true;
        if (!keyword_defaults_standard(kwdefaults)) return false;
        // Held, so that its address names no other dict; a version of 0 is never unchanged.
        kwdefaults_.set(kwdefaults);
        kwdefaults_version_ = compat::dict_version(kwdefaults);
        return true;
    }

    bool learn(PyObject* loads) {
        if (!is_function_of(loads, "json", "loads", 1, 6) || !keyword_defaults_standard(PyFunction_GET_KW_DEFAULTS(loads)))
            return false;
        PyObject* builtins = PyEval_GetBuiltins();
        PyObject* isinstance = builtins ? PyDict_GetItemString(builtins, "isinstance") : nullptr;
        PyObject* len = builtins ? PyDict_GetItemString(builtins, "len") : nullptr;
        if (!isinstance || !len || !PyCFunction_Check(isinstance) || !PyCFunction_Check(len)) return false;
        PyObject* decoder = PyDict_GetItemString(PyFunction_GET_GLOBALS(loads), "_default_decoder");
        if (!decoder || !attr_is_text(reinterpret_cast<PyObject*>(Py_TYPE(decoder)), "__module__", "json.decoder"))
            return false;
        Ref decode_fn = method_with_code(decoder, n_decode, nullptr);
        Ref raw_decode_fn = method_with_code(decoder, n_raw_decode, nullptr);
        if (!decode_fn || !is_function_of(decode_fn.get(), "json.decoder", "decode", 3, 0) || !raw_decode_fn ||
            !is_function_of(raw_decode_fn.get(), "json.decoder", "raw_decode", 3, 0))
            return false;
        // decode(self, s, _w=WHITESPACE.match), WHITESPACE being re.compile(r'[ \t\n\r]*', ...).
        PyObject* defaults = PyFunction_GET_DEFAULTS(decode_fn.get());
        if (!defaults || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1) return false;
        PyObject* match = PyTuple_GET_ITEM(defaults, 0);
        if (!PyCFunction_Check(match) || !attr_is_text(match, "__name__", "match")) return false;
        PyObject* pattern = PyCFunction_GET_SELF(match);
        if (!pattern || std::strcmp(Py_TYPE(pattern)->tp_name, "re.Pattern") != 0 ||
            !attr_is_text(pattern, "pattern", "[ \\t\\n\\r]*"))
            return false;
        Ref scan = f_scan_once.peek(decoder);
        if (!scan || std::strcmp(Py_TYPE(scan.get())->tp_name, "_json.Scanner") != 0) return false;
        loads_code_.set(PyFunction_GET_CODE(loads));
        decode_code_.set(PyFunction_GET_CODE(decode_fn.get()));
        decode_defaults_.set(defaults);
        raw_decode_code_.set(PyFunction_GET_CODE(raw_decode_fn.get()));
        scanner_type_.set(reinterpret_cast<PyObject*>(Py_TYPE(scan.get())));
        isinstance_.set(isinstance);
        len_.set(len);
        return true;
    }

    // The C scanner, made with no hook that would run Python code: what it
    // scans decides everything, so that a text it fails on gives the same
    // error when scanned again.  Its fields are read-only.
    bool plain_scanner(PyObject* scan) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(scan)) != scanner_type_.get()) return false;
        if (scan == scanner_seen_.get()) return true;
        static const struct {
            const char* name;
            PyObject* expected;  // nullptr: any builtin function (a bound lookup of the decoder's constants)
        } kFields[] = {{"object_hook", Py_None},
                       {"object_pairs_hook", Py_None},
                       {"parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
                       {"parse_int", reinterpret_cast<PyObject*>(&PyLong_Type)},
                       {"parse_constant", nullptr}};
        for (const auto& field : kFields) {
            Ref v = steal(PyObject_GetAttrString(scan, field.name));
            if (!v) {
                PyErr_Clear();
                return false;
            }
            if (field.expected ? v.get() != field.expected : !PyCFunction_Check(v.get())) return false;
        }
        scanner_seen_.set(scan);
        return true;
    }

    bool learned_ = false;
    Kept refused_code_;
    Kept loads_code_, decode_code_, decode_defaults_, raw_decode_code_, scanner_type_, isinstance_, len_;
    Kept scanner_seen_;
    Kept kwdefaults_;  // loads' keyword defaults found standard, while unchanged since
    uint64_t kwdefaults_version_ = 0;
};

StandardLoads g_standard_loads;

}  // namespace

int standard_json_loads(PyObject* loads, PyObject* s, Ref& out) { return g_standard_loads.decode(loads, s, out); }

}  // namespace rt
