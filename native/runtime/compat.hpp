// The one place where the runtime uses interfaces of the interpreter that are
// not public or not stable, each with its form on every supported version
// (CPython 3.10 to 3.13, the versions tested).  A private interface gives way
// to its public replacement from the version that has one.  On 3.14 and later
// (built, untested: CMake warns), the private interfaces that those versions
// drop or are likely to drop are replaced by public code that gives the same
// result, or remembers less; defining QUARNA_COMPAT_NEWER selects those forms
// on 3.12 and 3.13 too, so that they can be tested there.  native/README.md
// lists every interface and its form per version.  Code outside this header
// uses public interfaces only.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX >= 0x030E0000 || defined(QUARNA_COMPAT_NEWER)
#define QUARNA_COMPAT_PUBLIC_FORMS 1
#endif

namespace rt {
namespace compat {

// --- Dict versions -------------------------------------------------------
// What the runtime remembers of a dict holds while the dict is unchanged.
// Take v = dict_version(d) before the read that is remembered (or with no
// Python code run in between); later dict_unchanged(d, v), for that same d,
// is true only if d has not changed since.  0 is never unchanged.
//
// 3.10, 3.11: the dict's ma_version_tag, which changes with every change of
//   the dict and is never given to another dict.
// 3.12, 3.13: that field is deprecated (3.14 removes it).  A dict watcher
//   (PyDict_AddWatcher, PyDict_Watch) is told before every change and before
//   the destruction of a watched dict, and counts them: a version is the count
//   when the dict was put under watch, and while the count stays, no watched
//   dict has changed.  Two watchers keep two counts, so that the rows of one
//   call, freed after it, do not end what is kept across calls:
//   Keep::Lasting for namespaces, sys.modules, a description or a host's
//   instance dict, Keep::Call for what is kept within one call only.
enum class Keep { Lasting = 0, Call = 1 };

#if PY_VERSION_HEX >= 0x030C0000
struct DictWatch {
    int id[2] = {-1, -1};
    uint64_t changes[2] = {1, 1};
};
inline DictWatch g_dict_watch;

template <int keep>
int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_dict_watch.changes[keep];
    return 0;
}
#endif

// At module load.  Without a watcher (every one of the interpreter's taken),
// nothing is remembered: dict_version gives 0.
inline void start_dict_versions() {
#if PY_VERSION_HEX >= 0x030C0000
    if (g_dict_watch.id[0] < 0) g_dict_watch.id[0] = PyDict_AddWatcher(count_dict_change<0>);
    if (g_dict_watch.id[1] < 0) g_dict_watch.id[1] = PyDict_AddWatcher(count_dict_change<1>);
    if (g_dict_watch.id[0] < 0 || g_dict_watch.id[1] < 0) PyErr_Clear();
#endif
}

inline uint64_t dict_version(PyObject* d, Keep keep = Keep::Lasting) {
#if PY_VERSION_HEX >= 0x030C0000
    const int k = static_cast<int>(keep);
    if (g_dict_watch.id[k] < 0 || !PyDict_Check(d) || PyDict_Watch(g_dict_watch.id[k], d) < 0) return 0;
    return g_dict_watch.changes[k];
#else
    (void)keep;
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#endif
}

inline bool dict_unchanged(PyObject* d, uint64_t version, Keep keep = Keep::Lasting) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)d;
    return version != 0 && version == g_dict_watch.changes[static_cast<int>(keep)];
#else
    (void)keep;
    return version != 0 && reinterpret_cast<PyDictObject*>(d)->ma_version_tag == version;
#endif
}

// --- Type versions -------------------------------------------------------
// A type's version tag changes whenever the type or one of its bases changes.
// type_version(t) gives it, 0 when the type has none now (nothing is then
// remembered); type_version_assigned(t) first gives the type one when it can.
// 3.10: tags are counted in 32 bits; when the count wraps around, every type
//   loses its tag and the count starts again, so an old tag may come back for
//   another state of the same type.  A private probe type, which loses its tag
//   with every other, tells of each wrap; the version carries their number.
//   A tag is assigned by a lookup in the type (_PyType_Lookup).
// 3.11: tags are never given twice; a lookup assigns one.
// 3.12, 3.13: as 3.11; PyUnstable_Type_AssignVersionTag assigns one.
// Type watchers are not needed: the tag alone tells of every change.

// 3.13 no longer keeps Py_TPFLAGS_VALID_VERSION_TAG: a tag of 0 is "none".
inline bool has_version_tag(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030D0000
    return t->tp_version_tag != 0;
#else
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag != 0;
#endif
}

#if PY_VERSION_HEX < 0x030B0000
struct TagWraps {
    PyTypeObject* probe = nullptr;  // owned, for the life of the process
    PyObject* name = nullptr;       // owned: any name, looked up to give the probe a tag
    unsigned int probe_tag = 0;
    uint64_t wraps = 0;
};
inline TagWraps g_tag_wraps;

// Gives the probe a tag again after it lost it (a wrap, or a change of
// object): everything tagged before is old.  False when the probe cannot be
// made or given a tag (nothing is remembered then).
#if defined(__GNUC__)
__attribute__((noinline))
#endif
inline bool renew_tag_wraps() {
    TagWraps& w = g_tag_wraps;
    if (!w.probe) {
        PyObject* dict = PyDict_New();
        PyObject* probe =
            dict ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "tag_probe", dict)
                 : nullptr;
        Py_XDECREF(dict);
        w.name = w.name ? w.name : PyUnicode_InternFromString("__tag_probe__");
        if (!probe || !w.name || !PyType_Check(probe)) {
            Py_XDECREF(probe);
            PyErr_Clear();
            return false;
        }
        w.probe = reinterpret_cast<PyTypeObject*>(probe);
    }
    ++w.wraps;
    _PyType_Lookup(w.probe, w.name);
    if (!has_version_tag(w.probe)) return false;
    w.probe_tag = w.probe->tp_version_tag;
    return true;
}

inline bool tag_wraps_known() {
    const TagWraps& w = g_tag_wraps;
    if (w.probe && w.probe->tp_version_tag == w.probe_tag && has_version_tag(w.probe)) return true;
    return renew_tag_wraps();
}
#endif

inline uint64_t type_version(PyTypeObject* t) {
    if (!has_version_tag(t)) return 0;
#if PY_VERSION_HEX < 0x030B0000
    if (!tag_wraps_known()) return 0;
    return g_tag_wraps.wraps << 32 | t->tp_version_tag;
#else
    return t->tp_version_tag;
#endif
}

// A name to look up in the type: any interned str (3.10, 3.11 assign the tag in the lookup).
inline uint64_t type_version_assigned(PyTypeObject* t, PyObject* any_name) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)any_name;
    if (!has_version_tag(t)) PyUnstable_Type_AssignVersionTag(t);
#else
    if (!has_version_tag(t)) _PyType_Lookup(t, any_name);
#endif
    return type_version(t);
}

// --- Type internals ----------------------------------------------------------

// The entry for name in the type's MRO (borrowed; nullptr when none, never an
// error), as attribute lookup finds it, without running code.  Not yet public
// on any supported version.
inline PyObject* type_lookup(PyTypeObject* t, PyObject* name) { return _PyType_Lookup(t, name); }

// The slot function a slot wrapper (e.g. type.__getattribute__) wraps.
inline void* wrapped_slot(PyObject* descr) {
    if (!Py_IS_TYPE(descr, &PyWrapperDescr_Type)) return nullptr;
    return reinterpret_cast<PyWrapperDescrObject*>(descr)->d_wrapped;
}

// The instance dict slot of obj where it is a plain slot (3.10: at
// tp_dictoffset); nullptr where the interpreter manages it (3.11 and later),
// and the generic read below is used instead.
inline PyObject** plain_dict_slot(PyObject* obj) {
#if PY_VERSION_HEX < 0x030B0000
    const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    return offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset) : nullptr;
#else
    (void)obj;
    return nullptr;
#endif
}

// object's generic attribute read; a miss gives NULL with no exception set.
// 3.10 to 3.13: the private form that raises nothing on a miss.  3.14 and
// later: PyObject_GenericGetAttr, its AttributeError cleared (the private form
// suppresses exactly that one, raised by a descriptor too).
inline PyObject* generic_getattr_or_null(PyObject* obj, PyObject* name) {
#if defined(QUARNA_COMPAT_PUBLIC_FORMS)
    PyObject* value = PyObject_GenericGetAttr(obj, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
#else
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
#endif
}

// The address of obj's instance dict pointer, for a dict whose every change
// its version tells (nullptr: none such).  Private through 3.13; on 3.11
// and later an instance whose dict the interpreter manages may have none yet.
// 3.13 keeps the attributes of an instance whose class has inline values in
// the object even once the dict exists (the dict's table is split: its values
// are those in the object), and stores there do not tell the dict's watchers
// (3.13.0): none such, unless the dict has a table of its own
// (own_instance_dict_table), when every store goes through the dict.  3.14
// and later: the slot at the type's tp_dictoffset, as its documentation
// places it; none for a dict the interpreter manages (the reads that depend
// on it are not remembered).
inline PyObject** instance_dict_ptr(PyObject* obj) {
#if defined(QUARNA_COMPAT_PUBLIC_FORMS)
    PyTypeObject* t = Py_TYPE(obj);
    if (PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    Py_ssize_t offset = t->tp_dictoffset;
    if (offset == 0) return nullptr;
    if (offset < 0) {
        // Counted from the end of a variable-sized object, rounded up to a pointer.
        const Py_ssize_t items = Py_SIZE(obj) < 0 ? -Py_SIZE(obj) : Py_SIZE(obj);
        const Py_ssize_t size = t->tp_basicsize + items * t->tp_itemsize;
        const Py_ssize_t align = static_cast<Py_ssize_t>(sizeof(void*));
        offset += (size + align - 1) / align * align;
    }
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
#else
#ifdef Py_TPFLAGS_INLINE_VALUES
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) {
        PyObject** slot = _PyObject_GetDictPtr(obj);
        PyObject* d = slot ? *slot : nullptr;
        return d && PyDict_CheckExact(d) && !reinterpret_cast<PyDictObject*>(d)->ma_values ? slot : nullptr;
    }
#endif
    return _PyObject_GetDictPtr(obj);
#endif
}

// 3.13: gives obj's instance dict a table of its own when its class keeps
// attributes inline and nothing but obj holds the dict, so that
// instance_dict_ptr then gives it.  The dict is replaced by a copy (same
// entries, same order) as assigning obj.__dict__ replaces it, which stops the
// use of the inline values; no other holder can tell the two apart.  True when
// instance_dict_ptr(obj) now gives the dict (no exception set either way).
// The object's later attribute reads use the dict, as on 3.12 once a dict is
// made.  Other versions, and 3.14 (untested; the form that remembers less):
// nothing to do, or nothing done.
inline bool own_instance_dict_table(PyObject* obj) {
#if defined(Py_TPFLAGS_INLINE_VALUES) && !defined(QUARNA_COMPAT_PUBLIC_FORMS)
    if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) return true;
    if (instance_dict_ptr(obj)) return true;
    PyObject* d = PyObject_GenericGetDict(obj, nullptr);
    if (!d) {
        PyErr_Clear();
        return false;
    }
    // Held by obj and here only: no one else can see the dict replaced.
    if (!PyDict_CheckExact(d) || Py_REFCNT(d) != 2) {
        Py_DECREF(d);
        return false;
    }
    PyObject* own = PyDict_New();
    const bool copied = own && PyDict_Update(own, d) == 0;
    Py_DECREF(d);
    const bool set = copied && _PyObject_SetManagedDict(obj, own) == 0;
    Py_XDECREF(own);
    if (!set) PyErr_Clear();
    return set && instance_dict_ptr(obj);
#else
    (void)obj;
    return true;
#endif
}

// A dict sized for n entries (no resizing while they are added).  Private
// through 3.12.  3.13 and later: PyDict_New, a dict that grows as entries
// come, because 3.13's presized dict takes the general key layout (an entry
// of three words, not two, and the slower lookups) even for str keys, and
// the records made here are handed to callers.
inline PyObject* new_presized_dict(Py_ssize_t n) {
#if defined(QUARNA_COMPAT_PUBLIC_FORMS) || PY_VERSION_HEX >= 0x030D0000
    (void)n;
    return PyDict_New();
#else
    return _PyDict_NewPresized(n);
#endif
}

// Shrinks a tuple made here and not yet shared; on failure it is released and
// set to NULL.  Documented, though with a leading underscore.
inline int resize_tuple(PyObject** t, Py_ssize_t n) { return _PyTuple_Resize(t, n); }

// d[key] for a dict d, a miss reported without raising and without a look at
// the thread's error state (which costs a thread-local read on 3.13): 1 with
// *out a new reference, 0 when missing, -1 with an exception set.  3.13 and
// later: PyDict_GetItemRef (public); before, PyDict_GetItemWithError.
inline int dict_get_ref(PyObject* d, PyObject* key, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(d, key, out);
#else
    *out = PyDict_GetItemWithError(d, key);
    if (*out) {
        Py_INCREF(*out);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// getattr(o, name) that reports a missing attribute without raising:
// 1 with *out set, 0 when missing (no exception), -1 on error.
inline int lookup_attr(PyObject* o, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, out);
#else
    return _PyObject_LookupAttr(o, name, out);
#endif
}

// The method lookup of obj.name(...): 1 with *out the unbound function (call
// it with obj first), 0 with *out the attribute to call as it is, and *out
// NULL with an exception set on error.
inline int get_method(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = PyObject_GetAttr(obj, name);
    *out = found;
    if (found && PyMethod_Check(found) && PyMethod_GET_SELF(found) == obj) {
        *out = Py_NewRef(PyMethod_GET_FUNCTION(found));
        Py_DECREF(found);
        return 1;
    }
    return 0;
#else
    return _PyObject_GetMethod(obj, name, out);
#endif
}

// True when n nested Py_EnterRecursiveCall calls made now in this thread
// would all pass; false when that cannot be told.  Read from the thread
// state's counter, whose name and sense change with the version: 3.10 counts
// the depth up to the limit, 3.11 counts the calls left, 3.12 and 3.13 count
// the C calls left against a limit of their own.  3.14 and later check the
// stack itself and have no such counter (c_recursion_remaining is gone):
// unknown here, and each level goes through the full check.
inline bool recursion_room(int n) {
#if defined(QUARNA_COMPAT_PUBLIC_FORMS)
    (void)n;
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_Get()->c_recursion_remaining > n;
#elif PY_VERSION_HEX >= 0x030B0000
    return PyThreadState_Get()->recursion_remaining > n;
#else
    return PyThreadState_Get()->recursion_depth + n <= Py_GetRecursionLimit();
#endif
}

// The builtins a function's code reads a global from when its globals lack
// it: the function's own, which a frame of it is given.  No accessor on any
// supported version: the field of the function object (3.10 to 3.13, and 3.14).
inline PyObject* function_builtins(PyObject* func) {
    return reinterpret_cast<PyFunctionObject*>(func)->func_builtins;
}

// True when a call of a Python function made now in this thread would pass
// the recursion checks its frame makes, and no trace or profile function
// (sys.settrace, sys.setprofile) would be told of it.  3.10 and 3.11: the
// frame makes one check of the one counter (two are asked for); 3.12 and 3.13:
// one check of the C counter on entry and one of the Python counter for the
// frame.  3.14 and later: unknown (see recursion_room), so never.  Tools of
// sys.monitoring (3.12 and later) are not asked.
inline bool python_frame_unseen() {
    PyThreadState* ts = PyThreadState_Get();
    if (ts->c_tracefunc || ts->c_profilefunc) return false;
#if defined(QUARNA_COMPAT_PUBLIC_FORMS)
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    return ts->c_recursion_remaining > 2 && ts->py_recursion_remaining > 2;
#else
    return recursion_room(2);
#endif
}

// Nested Python frames entered from C and stood in for: a caller that does
// itself what `frames` nested Python functions would do, down to the one C
// call they make, charges the recursion counters as those frames would while
// that call runs, so that the callee's own recursion checks (a decoder's, one
// per level of nesting) see what they would see under the frames.  3.10 and
// 3.11: each frame takes one of the one counter; 3.12 and 3.13: entering the
// interpreter from C takes two C levels (PY_EVAL_C_STACK_UNITS) and each frame
// one Python level.
// unseen() is false where the frames would not all pass their checks (with a
// margin), where a trace or profile function would be told of them, or where
// the counters are unknown (3.14 and later): the caller then makes the plain
// call.  Tools of sys.monitoring (3.12 and later) are not asked.
class StandInFrames {
public:
    explicit StandInFrames(int frames) noexcept : frames_(frames) {}
    StandInFrames(const StandInFrames&) = delete;
    StandInFrames& operator=(const StandInFrames&) = delete;
    ~StandInFrames() {
        if (charged_) adjust(-1);
    }
    bool unseen() const {
        PyThreadState* ts = PyThreadState_Get();
        if (ts->c_tracefunc || ts->c_profilefunc) return false;
#if defined(QUARNA_COMPAT_PUBLIC_FORMS)
        return false;
#elif PY_VERSION_HEX >= 0x030C0000
        return ts->c_recursion_remaining > kEntryLevels + 1 && ts->py_recursion_remaining > frames_ + 1;
#else
        return recursion_room(frames_ + 1);
#endif
    }
    // Charges the counters until destruction; only after unseen() said true.
    void charge() {
        adjust(1);
        charged_ = true;
    }

private:
    void adjust(int sign) {
#if !defined(QUARNA_COMPAT_PUBLIC_FORMS)
        PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
        ts->c_recursion_remaining -= sign * kEntryLevels;
        ts->py_recursion_remaining -= sign * frames_;
#elif PY_VERSION_HEX >= 0x030B0000
        ts->recursion_remaining -= sign * frames_;
#else
        ts->recursion_depth += sign * frames_;
#endif
#else
        (void)sign;
#endif
    }
#if PY_VERSION_HEX >= 0x030C0000
    static constexpr int kEntryLevels = 2;  // the C levels an entry into the interpreter takes
#endif
    const int frames_;
    bool charged_ = false;
};

}  // namespace compat
}  // namespace rt
