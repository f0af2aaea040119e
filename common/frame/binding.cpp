// Argument binding with the messages callers see.
#include "frame/method.h"

#include <cstring>

#include "frame/constants.h"
#include "frame/ops.h"

namespace vx {

namespace {

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

void raise_count(const MethodRuntime& rt, const char* how, Py_ssize_t count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zd positional argument%s (%zd given)", rt.def->name, how, count,
                 plural(count), given);
}

Py_ssize_t find_param(const MethodRuntime& rt, PyObject* key) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(rt.names.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (rt.names[i] == key) return i;  // interned keywords: one pointer test
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(rt.names[i], key) == 0) return i;
    if (PyErr_Occurred()) PyErr_Clear();
    return -1;
}

// Float parameters: float as is, int converted exactly, other numbers by the
// interpreter's float conversion.
bool convert_float(const char* param, Args& bound, int i) {
    PyObject* value = bound[i];
    if (value == Py_None || PyFloat_CheckExact(value)) return true;
    double number;
    if (PyLong_Check(value)) {
        number = PyLong_AsDouble(value);
    } else {
        PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
        if (!PyFloat_Check(value) && !(nb && (nb->nb_float || nb->nb_index))) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected float, got %.200s)", param,
                         Py_TYPE(value)->tp_name);
            return false;
        }
        number = PyFloat_AsDouble(value);
    }
    if (number == -1.0 && PyErr_Occurred()) return false;
    PyObject* converted = PyFloat_FromDouble(number);
    if (!converted) return false;
    bound.replace(i, converted);
    return true;
}

const Str k_argument{"Argument '"}, k_expected_str{"' has incorrect type (expected str, got "}, k_close{")"};

// "Argument 'name' has incorrect type (expected str, got T)", raised as an
// instance: cheaper than PyErr_Format's parsing and the later normalisation.
void raise_not_str(PyObject* name, const char* param, PyObject* value) {
    const char* type_name = Py_TYPE(value)->tp_name;
    if (std::strlen(param) > 200 || std::strlen(type_name) > 200) {  // PyErr_Format's %.200s cuts these
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected str, got %.200s)", param,
                     type_name);
        return;
    }
    try {
        Ref type_text = check(PyUnicode_FromString(type_name));
        Ref message = join({k_argument, name, k_expected_str, type_text, k_close});
        Ref error = check(PyObject_CallOneArg(PyExc_TypeError, message));
        PyErr_SetObject(PyExc_TypeError, error);
    } catch (PyError& e) {
        e.restore();
    }
}

}  // namespace

VX_HOT bool bind_arguments(const MethodRuntime& rt, PyObject* const* args, Py_ssize_t nargs, PyObject* const* kw_names,
                           Py_ssize_t nkw, Args& bound) {
    const MethodDef& def = *rt.def;
    const Py_ssize_t n = static_cast<Py_ssize_t>(rt.names.size());
    const Py_ssize_t ndefaults = n - rt.required;
    if (nargs > n) {
        raise_count(rt, ndefaults ? "at most" : "exactly", n, nargs);
        return false;
    }
    bound.open(static_cast<int>(n));
    bound.context = def.context;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.set(static_cast<int>(i), args[i]);
    // Exactly the parameters by position, with nothing to convert or test:
    // bound as they are.
    if (nargs == n && !nkw && !(rt.converted | rt.typed)) return true;

    if (nkw) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = kw_names[k];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
                return false;
            }
            Py_ssize_t index = find_param(rt, key);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", def.name, key);
                return false;
            }
            if (bound[static_cast<int>(index)]) {
                PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", def.name, key);
                return false;
            }
            bound.set(static_cast<int>(index), args[nargs + k]);
        }
    }

    // Without keywords, the first `nargs` are bound already.
    for (Py_ssize_t i = nkw ? 0 : nargs; i < n; ++i) {
        if (bound[static_cast<int>(i)]) continue;
        if (i < rt.required) {
            raise_count(rt, ndefaults ? "at least" : "exactly", rt.required, i);
            return false;
        }
        bound.set(static_cast<int>(i), rt.defaults[static_cast<size_t>(i - rt.required)]);
    }

    // Conversions first, then type tests, each in parameter order.
    for (uint32_t bits = rt.converted; bits; bits &= bits - 1) {
        const int i = compat::lowest_set_bit(bits);
        const Param& param = def.params[static_cast<size_t>(i)];
        if (param.check == Check::Float) {
            if (!convert_float(param.name, bound, i)) return false;
        } else {
            int truth = PyObject_IsTrue(bound[i]);
            if (truth < 0) return false;
            bound.set(i, truth ? Py_True : Py_False);
        }
    }
    for (uint32_t bits = rt.typed; bits; bits &= bits - 1) {
        const int i = compat::lowest_set_bit(bits);
        const Param& param = def.params[static_cast<size_t>(i)];
        PyObject* value = bound[i];
        if (PyUnicode_CheckExact(value) || (param.check == Check::OptionalStr && value == Py_None)) continue;
        raise_not_str(rt.names[static_cast<size_t>(i)], param.name, value);
        return false;
    }
    return true;
}

}  // namespace vx
