#include "function.hpp"

#include "names.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>
#include <new>
#include <string>

namespace rt {

namespace {

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncDef* def;
    Py_ssize_t npos;     // parameters that may be given by position (self counted)
    Py_ssize_t nreq;     // of those, the ones without a default
    Py_ssize_t ntotal;   // all parameters
    PyObject* pnames[kMaxParams];  // interned parameter names
    PyObject* dflt[kMaxParams];    // default per parameter, or NULL
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* code;
    PyObject* weakreflist;
};

inline FuncObject* as_func(PyObject* o) { return reinterpret_cast<FuncObject*>(o); }

const char* check_type_name(Check c) {
    switch (c) {
        case Check::Str: return "str";
        case Check::Dict: return "dict";
        case Check::List: return "list";
        default: return "object";
    }
}

PyTypeObject* check_type(Check c) {
    switch (c) {
        case Check::Str: return &PyUnicode_Type;
        case Check::Dict: return &PyDict_Type;
        case Check::List: return &PyList_Type;
        default: return nullptr;
    }
}

bool check_args(const FuncObject* f, PyObject* const* args) {
    const auto& params = f->def->params;
    for (Py_ssize_t i = 0; i < f->ntotal; ++i) {
        Check c = params[(size_t)i].check;
        if (c == Check::Any) continue;
        if (Py_IS_TYPE(args[i], check_type(c))) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     params[(size_t)i].name, check_type_name(c), Py_TYPE(args[i])->tp_name);
        return false;
    }
    return true;
}

void raise_argcount(const FuncObject* f, Py_ssize_t given) {
    const Py_ssize_t min = f->nreq, max = f->npos;
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < min) { expected = min; more_or_less = "at least"; }
    else { expected = max; more_or_less = "at most"; }
    if (min == max) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const FuncObject* f, PyObject* key) {
    for (Py_ssize_t i = 0; i < f->ntotal; ++i)
        if (f->pnames[i] == key) return i;
    for (Py_ssize_t i = 0; i < f->ntotal; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(f->pnames[i], key) == 0) return i;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return -1;
}

// Runs a body.  No C++ exception may reach the interpreter: a failed
// allocation of a standard container becomes MemoryError (every Ref on the
// way out has released what it held), anything else SystemError.
PyObject* run_body(const FuncDef* def, PyObject* const* args) noexcept {
    try {
        return def->body(args);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s(): unexpected C++ exception", def->name);
        return nullptr;
    }
}

PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FuncObject* f = as_func(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && nargs == f->ntotal && f->npos == f->ntotal) {
        if (!check_args(f, args)) return nullptr;
        return run_body(f->def, args);
    }
    if (nargs > f->npos) {
        raise_argcount(f, nargs);
        return nullptr;
    }
    PyObject* bound[kMaxParams];
    for (Py_ssize_t i = 0; i < f->ntotal; ++i) bound[i] = i < nargs ? args[i] : nullptr;

    PyObject* bad_kw = nullptr;
    bool bad_kw_repeats = false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = find_param(f, key);
        if (j < 0 || bound[j]) {
            if (!bad_kw) { bad_kw = key; bad_kw_repeats = j >= 0; }
            continue;
        }
        bound[j] = args[nargs + k];
    }
    for (Py_ssize_t j = nargs; j < f->npos; ++j) {
        if (bound[j]) continue;
        if (!f->dflt[j]) {
            raise_argcount(f, j);
            return nullptr;
        }
        bound[j] = f->dflt[j];
    }
    if (bad_kw) {
        if (bad_kw_repeats)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->def->name, bad_kw);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->def->name, bad_kw);
        return nullptr;
    }
    for (Py_ssize_t j = f->npos; j < f->ntotal; ++j) {
        if (bound[j]) continue;
        if (!f->dflt[j]) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", f->def->name, f->pnames[j]);
            return nullptr;
        }
        bound[j] = f->dflt[j];
    }
    if (!check_args(f, bound)) return nullptr;
    return run_body(f->def, bound);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    FuncObject* f = as_func(self);
    for (Py_ssize_t i = 0; i < f->ntotal; ++i) Py_VISIT(f->dflt[i]);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->code);
    return 0;
}

int func_clear(PyObject* self) {
    FuncObject* f = as_func(self);
    for (Py_ssize_t i = 0; i < f->ntotal; ++i) Py_CLEAR(f->dflt[i]);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->code);
    return 0;
}

void func_dealloc(PyObject* self) {
    FuncObject* f = as_func(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    for (Py_ssize_t i = 0; i < f->ntotal; ++i) Py_CLEAR(f->pnames[i]);
    PyObject_GC_Del(self);
}

PyObject* func_repr(PyObject* self) {
    PyObject* qualname = as_func(self)->qualname;  // NULL only after a garbage-collector clear
    if (!qualname) return PyUnicode_FromFormat("<function at %p>", self);
    return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

// Slots are NULL only after a garbage-collector clear; read them as None then.
inline PyObject* slot_or_none(PyObject* slot) { return Py_NewRef(slot ? slot : Py_None); }

// Text attributes that must stay str, as on Python functions.
int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return slot_or_none(as_func(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_text(&as_func(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return slot_or_none(as_func(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text(&as_func(self)->qualname, v, "__qualname__");
}
PyObject* get_annotations(PyObject* self, void*) {
    FuncObject* f = as_func(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(v);
    Py_XSETREF(as_func(self)->annotations, v);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_func(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_func(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_code(PyObject* self, void*) { return slot_or_none(as_func(self)->code); }

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(FuncObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FuncObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FuncObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, as Python pickles functions: module plus qualified name.
PyObject* func_reduce(PyObject* self, PyObject*) { return slot_or_none(as_func(self)->qualname); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

Ref default_object(Default d) {
    switch (d) {
        case Default::None: return borrow(Py_None);
        case Default::False: return borrow(Py_False);
        case Default::EmptyStr: return steal(PyUnicode_FromStringAndSize("", 0));
        case Default::Quote: return steal(PyUnicode_FromStringAndSize("'", 1));
        case Default::StrType: return borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
        default: return Ref();
    }
}

// A code object with the real argument names and counts, so that inspect
// and help() show the signature.  Compiled from a one-line def.
Ref make_code(const FuncDef& def) {
    std::string src = "def _f(";
    bool star = false;
    for (size_t i = 0; i < def.params.size(); ++i) {
        if (i) src += ", ";
        if (def.params[i].kwonly && !star) { src += "*, "; star = true; }
        src += def.params[i].name;
    }
    src += "): pass\n";
    Ref compiled = steal(Py_CompileString(src.c_str(), "<sqlite_statements_mixin>", Py_file_input));
    if (!compiled) return Ref();
    Ref ns = steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__builtins__", rt::builtins()) < 0) return Ref();
    Ref res = steal(PyEval_EvalCode(compiled.get(), ns.get(), ns.get()));
    if (!res) return Ref();
    PyObject* fn = PyDict_GetItemString(ns.get(), "_f");
    if (!fn) { PyErr_SetString(PyExc_RuntimeError, "code object missing"); return Ref(); }
    Ref code = steal(PyObject_GetAttrString(fn, "__code__"));
    if (!code) return Ref();
    Ref replace = steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = steal(PyDict_New());
    Ref name = steal(PyUnicode_FromString(def.name));
    Ref filename = borrow(module_name());
    if (!replace || !kwargs || !name) return Ref();
    if (PyDict_SetItemString(kwargs.get(), "co_name", name.get()) < 0) return Ref();
    if (PyDict_SetItemString(kwargs.get(), "co_filename", filename.get()) < 0) return Ref();
#if PY_VERSION_HEX >= 0x030B0000
    Ref qualname = steal(PyUnicode_FromString(def.qualname));
    if (!qualname || PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0) return Ref();
#endif
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return Ref();
    return steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

}  // namespace

// Filled in by ready_function_type(); the remaining slots start zeroed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "quarna_data.connections.implementations.mixins.sqlite_statements_mixin.native_function",
    sizeof(FuncObject),
};
#pragma GCC diagnostic pop

bool ready_function_type() {
    static bool ready = false;
    if (ready) return true;
    PyTypeObject& t = FunctionType;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = func_descr_get;
    t.tp_dealloc = func_dealloc;
    t.tp_traverse = func_traverse;
    t.tp_clear = func_clear;
    t.tp_repr = func_repr;
    t.tp_getset = func_getset;
    t.tp_members = func_members;
    t.tp_methods = func_methods;
    t.tp_dictoffset = offsetof(FuncObject, dict);
    t.tp_weaklistoffset = offsetof(FuncObject, weakreflist);
    if (PyType_Ready(&t) < 0) return false;
    ready = true;
    return true;
}

Ref make_function(const FuncDef& def) {
    if ((Py_ssize_t)def.params.size() > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return Ref();
    }
    FuncObject* f = PyObject_GC_New(FuncObject, &FunctionType);
    if (!f) return Ref();
    f->vectorcall = func_vectorcall;
    f->def = &def;
    f->ntotal = (Py_ssize_t)def.params.size();
    f->npos = 0;
    f->nreq = 0;
    for (Py_ssize_t i = 0; i < kMaxParams; ++i) { f->pnames[i] = nullptr; f->dflt[i] = nullptr; }
    f->dict = f->name = f->qualname = f->module = f->doc = nullptr;
    f->annotations = f->defaults = f->kwdefaults = f->code = f->weakreflist = nullptr;
    Ref self = steal(reinterpret_cast<PyObject*>(f));  // from here on, dealloc cleans up

    Ref annotations = steal(PyDict_New());
    if (!annotations) return Ref();
    Py_ssize_t npos_defaults = 0;
    for (Py_ssize_t i = 0; i < f->ntotal; ++i) {
        const Param& p = def.params[(size_t)i];
        if (!(f->pnames[i] = PyUnicode_InternFromString(p.name))) return Ref();
        if (p.dflt != Default::Required) {
            Ref d = default_object(p.dflt);
            if (!d) return Ref();
            f->dflt[i] = d.release();
        }
        if (!p.kwonly) {
            f->npos++;
            if (p.dflt == Default::Required) f->nreq++; else npos_defaults++;
        }
        if (p.annotation) {
            Ref text = steal(PyUnicode_FromString(p.annotation));
            if (!text || PyDict_SetItem(annotations.get(), f->pnames[i], text.get()) < 0) return Ref();
        }
    }
    if (def.return_annotation) {
        Ref text = steal(PyUnicode_FromString(def.return_annotation));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return Ref();
    }
    f->annotations = annotations.release();
    if (npos_defaults) {
        if (!(f->defaults = PyTuple_New(npos_defaults))) return Ref();
        for (Py_ssize_t i = 0, k = 0; i < f->npos; ++i)
            if (f->dflt[i]) PyTuple_SET_ITEM(f->defaults, k++, Py_NewRef(f->dflt[i]));
    }
    if (f->npos < f->ntotal) {
        if (!(f->kwdefaults = PyDict_New())) return Ref();
        for (Py_ssize_t i = f->npos; i < f->ntotal; ++i)
            if (f->dflt[i] && PyDict_SetItem(f->kwdefaults, f->pnames[i], f->dflt[i]) < 0) return Ref();
    }
    if (!(f->name = PyUnicode_FromString(def.name))) return Ref();
    if (!(f->qualname = PyUnicode_FromString(def.qualname))) return Ref();
    f->module = Py_NewRef(module_name());
    if (def.doc) {
        if (!(f->doc = PyUnicode_FromString(def.doc))) return Ref();
    } else {
        f->doc = Py_NewRef(Py_None);
    }
    Ref code = make_code(def);
    if (!code) return Ref();
    f->code = code.release();
    PyObject_GC_Track(f);
    return self;
}

PyObject* call_function(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return func_vectorcall(fn, args, nargsf, kwnames);
}

bool run_if_checked(const FuncDef& def, PyObject* const* args, PyObject** result) {
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Check c = def.params[i].check;
        if (c != Check::Any && !Py_IS_TYPE(args[i], check_type(c))) return false;
    }
    *result = run_body(&def, args);
    return true;
}

bool is_function(PyObject* o, const FuncDef& def) {
    return Py_IS_TYPE(o, &FunctionType) && as_func(o)->def == &def;
}

void add_traceback(const char* funcname, int line, const char* filename) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(filename, funcname, line);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = nullptr;
    if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));
    Py_XDECREF(globals);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

}  // namespace rt
