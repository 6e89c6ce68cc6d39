// The module ostrilo_ext: its members in registration order. A new function is one line in the
// table below (frame/module_table.hpp); a new concern is a new source file beside this one.
#include "frame/module_table.hpp"
#include "rotations.hpp"
#include "shared.hpp"

namespace ostrilo::ext {
namespace {

using Root = Module<"ostrilo_ext", "ostrilo_ext", Step<import_shared>,
                    // Rotations (rotations.cpp)
                    Function<"compose", compose, "first", "second">,
                    Function<"hamilton_product", hamilton_product, "a", "b">, Function<"inverse", inverse, "q">>;

}  // namespace
}  // namespace ostrilo::ext

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_ostrilo_ext() { return ostrilo::ext::Root::init(); }
