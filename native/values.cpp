// Conversion of data-model values to values SQLite can bind.
#include "common.hpp"
#include "methods.hpp"
#include "values.hpp"
#include "runtime/calls.hpp"
#include "runtime/class_hook.hpp"
#include "runtime/depth.hpp"
#include "runtime/fast.hpp"
#include "runtime/iter.hpp"

using namespace names;

namespace {

rt::Name n_Enum("Enum");
rt::Name n_datetime("datetime");
rt::Name n_date("date");
rt::Name n_pytz("pytz");
rt::Name n_utc("utc");
rt::Name n_astimezone("astimezone");
rt::Name n_timestamp("timestamp");
rt::Name n_year("year");
rt::Name n_month("month");
rt::Name n_day("day");
rt::Name n_get_metadata("get_metadata");
rt::Name n_reference("reference");
rt::Name n_model_dump_json("model_dump_json");
rt::Name n_dumps("dumps");
rt::Name n_to_sql_value("_to_sql_value");
rt::Name n_convert_date("_convert_date_to_sql_value");
rt::Name n_models_base("quarna_utils.models.base");
rt::Name n_ModelBase("ModelBase");
rt::Name n_models_reference("quarna_utils.models.data_models.reference");
rt::Name n_Reference("Reference");

rt::ImportedName i_ModelBase(n_models_base, n_ModelBase);
rt::ImportedName i_Reference(n_models_reference, n_Reference);


rt::KwNames kw_by_alias{"by_alias"};
rt::KwNames kw_tzinfo{"tzinfo"};

// What a plain value (rt::plain_builtin) converts to: itself, unless one of the
// five classes the conversion tests claims it.  Once a full conversion has
// shown that none does, the answer holds while the five names still resolve
// from memory to the same classes (the reads the conversion makes, see
// rt::ImportedName and rt::global) and rt::PlainMisses vouches for the tests.
constexpr int kTestedClasses = 5;
rt::PlainMisses g_plain_misses(kTestedClasses);

// The five classes as the conversion would read them now, when that is known
// without running code.
bool tested_classes(PyObject** out) {
    out[0] = i_ModelBase.cached();
    if (!out[0]) return false;
    out[1] = i_Reference.cached();
    if (!out[1]) return false;
    out[2] = rt::cached_global(n_Enum);
    out[3] = rt::cached_global(n_datetime);
    out[4] = rt::cached_global(n_date);
    return out[2] && out[3] && out[4];
}

// True when a plain value converts to itself.
bool plain_passes_through() {
    PyObject* classes[kTestedClasses];
    return tested_classes(classes) && g_plain_misses.holds(classes);
}

// Called after a full conversion of a plain value gave the value back.
void learn_plain_pass_through() {
    PyObject* classes[kTestedClasses];
    if (tested_classes(classes)) g_plain_misses.learn(classes);
}

// isinstance(o, cls): 1, 0, or -1 with an exception set.
inline int is_instance(PyObject* o, const rt::Ref& cls) { return rt::is_instance(o, cls.get()); }

// isinstance(o, (first, second)) with both names read from the module namespace.
int is_instance_of_either(PyObject* o, const rt::Name& first, const rt::Name& second) {
    rt::Ref a = rt::global(first);
    if (!a) return -1;
    rt::Ref b = rt::global(second);
    if (!b) return -1;
    int r = is_instance(o, a);
    if (r != 0) return r;
    return is_instance(o, b);
}

// cls._convert_date_to_sql_value(value)
rt::Ref convert_date(PyObject* cls, PyObject* value) { return rt::call_method(cls, n_convert_date, {value}); }

rt::Ref json_dumps(PyObject* value) {
    rt::Ref json = rt::global(n_json);
    if (!json) return rt::Ref();
    if (!rt::nesting_fits(value, " while encoding a JSON object")) return rt::Ref();
    return rt::call_method(json.get(), n_dumps, {value});
}

// Items of a list with dates replaced by their timestamps, taken as a for loop
// takes them.
rt::Ref dates_in_list(PyObject* cls, PyObject* list) {
    rt::Ref out = rt::steal(PyList_New(0));
    if (!out) return rt::Ref();
    auto take = [&](PyObject* item) -> bool {
        int r = is_instance_of_either(item, n_date, n_datetime);
        if (r < 0) return false;
        if (r == 0) return PyList_Append(out.get(), item) == 0;
        rt::Ref converted = convert_date(cls, item);
        return converted && PyList_Append(out.get(), converted.get()) == 0;
    };
    rt::Items items;
    if (!items.start(list)) return rt::Ref();
    rt::Ref item;
    while (items.next(item))
        if (!take(item.get())) return rt::Ref();
    if (PyErr_Occurred()) return rt::Ref();
    return out;
}

PyObject* convert_date_to_sql_value_body(PyObject* const* a) {
    PyObject* value = a[1];
    rt::Ref datetime = rt::global(n_datetime);
    if (!datetime) return nullptr;
    int r = rt::is_instance(value, datetime.get());
    if (r < 0) return nullptr;
    rt::Ref moment;
    if (r) {
        rt::Ref pytz = rt::global(n_pytz);
        if (!pytz) return nullptr;
        rt::Ref utc = rt::attr(pytz.get(), n_utc);
        if (!utc) return nullptr;
        moment = rt::call_method(value, n_astimezone, {utc.get()});
    } else {
        // Midnight UTC of the calendar day.
        rt::Ref year = rt::attr(value, n_year);
        if (!year) return nullptr;
        rt::Ref month = rt::attr(value, n_month);
        if (!month) return nullptr;
        rt::Ref day = rt::attr(value, n_day);
        if (!day) return nullptr;
        rt::Ref pytz = rt::global(n_pytz);
        if (!pytz) return nullptr;
        rt::Ref utc = rt::attr(pytz.get(), n_utc);
        if (!utc) return nullptr;
        moment = rt::call(datetime.get(), {year.get(), month.get(), day.get(), utc.get()}, kw_tzinfo.get());
    }
    if (!moment) return nullptr;
    rt::Ref seconds = rt::call_method(moment.get(), n_timestamp, {});
    if (!seconds) return nullptr;
    // int() cuts toward zero: half a second before the epoch is 0.
    return PyNumber_Long(seconds.get());
}

PyObject* to_sql_value_body(PyObject* const* a) {
    PyObject* cls = a[0];
    const bool plain = rt::plain_builtin(Py_TYPE(a[1]));
    if (plain && plain_passes_through()) return rt::borrow(a[1]).release();
    rt::Ref value = rt::borrow(a[1]);
    // Imported at every call, so the module loads before these are importable.
    rt::Ref model_base = i_ModelBase.get();
    if (!model_base) return nullptr;
    rt::Ref reference = i_Reference.get();
    if (!reference) return nullptr;

    rt::Ref enum_type = rt::global(n_Enum);
    if (!enum_type) return nullptr;
    int r = is_instance(value.get(), enum_type);
    if (r < 0) return nullptr;
    if (r) return PyObject_GetAttr(value.get(), n_value);

    r = is_instance_of_either(value.get(), n_datetime, n_date);
    if (r < 0) return nullptr;
    if (r) return convert_date(cls, value.get()).release();

    r = is_instance(value.get(), model_base);
    if (r < 0) return nullptr;
    if (r) {
        // A model is stored as its reference.
        rt::Ref metadata = rt::call_method(value.get(), n_get_metadata, {});
        if (!metadata) return nullptr;
        value = rt::attr(metadata.get(), n_reference);
        if (!value) return nullptr;
    }

    r = is_instance(value.get(), reference);
    if (r < 0) return nullptr;
    if (r) return rt::call_method(value.get(), n_model_dump_json, {Py_False}, kw_by_alias.get()).release();

    // The IN contract starts here.  A list value (the value of an IN filter
    // among them) becomes JSON text, so that a filter binds one value like any
    // other.  The IN operator's template (operators.cpp, in_template) decodes
    // that text to write one placeholder per item; its value modifier
    // (in_modifier) decodes it again to give the list to bind; and a condition
    // tree (conditions.cpp, add_leaf) splices a bound list into the statement's
    // parameters item by item.  The other places point here.
    if (PyList_Check(value.get())) {
        rt::Ref items = dates_in_list(cls, value.get());
        if (!items) return nullptr;
        return json_dumps(items.get()).release();
    }
    if (PyDict_Check(value.get())) return json_dumps(value.get()).release();
    if (plain) learn_plain_pass_through();
    return value.release();
}

}  // namespace

namespace methods {
using namespace params;
const rt::FuncDef convert_date_to_sql_value{
    "_convert_date_to_sql_value", "SqliteStatementsMixin._convert_date_to_sql_value",
    convert_date_to_sql_value_body, {cls(), Param{"value", "date | datetime"}}, "int",
    "Convert a date or date-time to whole seconds since the epoch, UTC."};
const rt::FuncDef to_sql_value{
    "_to_sql_value", "SqliteStatementsMixin._to_sql_value", to_sql_value_body, {cls(), Param{"value", "Any"}},
    "Any", "Convert a data-model value to a value SQLite can bind."};
}  // namespace methods

namespace values {

namespace {
rt::SelfHook h_to_sql_value(n_to_sql_value, methods::to_sql_value, rt::Binding::Class);
rt::ClassHook r_to_sql_value(h_to_sql_value, n_to_sql_value);
}

bool SqlValue::fetch(PyObject* self) {
    cls_ = nullptr;
    settled_ = false;
    return r_to_sql_value.find(self, hook_, cls_);
}

rt::Ref SqlValue::convert_tested(PyObject* value) {
    if (cls_) {
        if (rt::plain_builtin(Py_TYPE(value))) {
            if (plain_passes_through()) {
                settled_ = true;
                return rt::borrow(value);
            }
        }
        settled_ = false;
        // The bound method would pass exactly these two arguments to the same body.
        PyObject* args[2] = {cls_, value};
        return rt::steal(to_sql_value_body(args));
    }
    return hook_.call({value});
}

}  // namespace values
