#include "drevan/quat.hpp"

#include "drevan/number_format.hpp"

namespace drevan {

std::string Quat::repr() const {
    std::string s;
    s.reserve(48);
    append_record(s, "Quat", {w, i, j, k});
    return s;
}

}  // namespace drevan
