#include "frame/constants.h"

#include <vector>

namespace vx {

namespace {
std::vector<Str*>& registry() {
    static std::vector<Str*> all;
    return all;
}
std::vector<Number*>& number_registry() {
    static std::vector<Number*> all;
    return all;
}
}  // namespace

Str::Str(const char* text) : text_(text) { registry().push_back(this); }

bool Str::create_all() {
    for (Str* s : registry()) {
        if (s->object_) continue;
        s->object_ = PyUnicode_InternFromString(s->text_);
        if (!s->object_) return false;
    }
    for (Number* n : number_registry())
        if (!n->create()) return false;
    return true;
}

Number::Number(long value) : is_float_(false), int_value_(value) { number_registry().push_back(this); }
Number::Number(double value) : is_float_(true), float_value_(value) { number_registry().push_back(this); }

bool Number::create() {
    if (!object_) object_ = is_float_ ? PyFloat_FromDouble(float_value_) : PyLong_FromLong(int_value_);
    return object_ != nullptr;
}

}  // namespace vx
