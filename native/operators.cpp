// SqlOperatorTemplate, its two methods, the operator callables and sql_operator_map.
#include "common.hpp"
#include "methods.hpp"

namespace operators {

rt::Ref make_template_class() {
    rt::Ref ns = rt::steal(PyDict_New());
    rt::Ref bases = rt::steal(PyTuple_New(0));
    if (!ns || !bases) return rt::Ref();
    return rt::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", "SqlOperatorTemplate",
                                           bases.get(), ns.get()));
}

rt::Ref make_operator_map() { return rt::steal(PyDict_New()); }

}  // namespace operators
