#include "drevan/quat.hpp"

#include "drevan/number_format.hpp"

namespace drevan {

std::string Quat::repr() const {
    std::string s;
    s.reserve(48);
    s += "Quat(";
    append_number(s, w);
    s += ", ";
    append_number(s, i);
    s += ", ";
    append_number(s, j);
    s += ", ";
    append_number(s, k);
    s += ')';
    return s;
}

}  // namespace drevan
