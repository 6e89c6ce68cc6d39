// The rules a class table is held to, by the compiler and the linker. This file is built once
// per FAULT, each build expected to fail with the words that name the fault (FAULT 0 is the
// faultless table, which must build, so that a failure elsewhere cannot pass for a guard).
#include "frame/class_table.hpp"
#if FAULT != 7
#include "frame/module_table.hpp"
#endif

struct Point {
    double x;
};
inline Point operator+(const Point& a, const Point& b) { return {a.x + b.x}; }
inline Point operator*(const Point& a, double s) { return {a.x * s}; }
inline Point operator*(double s, const Point& a) { return {s * a.x}; }
inline bool same(const Point& a, const Point& b) { return a.x == b.x; }
inline std::string point_repr(const Point&) { return "Point"; }

namespace ostrilo {
template <>
struct Bound<Point> : BoundAs<"Point"> {
    static PyTypeObject* create();
};

namespace {

using Scaled = Op<"__mul__", times<Point, double>, "rhs">;
using Equality = Compare<by_equality<same>, Compares::Equality, NotEqual::Direct, BorrowedOther::NotImplemented>;

#if FAULT == 1  // a slot announced under another slot's name
using Table = ClassTable<Point, Ctor<from_fields<Point, double>, "x">,
                         Binary<Py_nb_add, Op<"__sub__", plus<Point, Point>, "other">>, Equality>;
#elif FAULT == 2  // a reflected form that is not the slot's
using Table =
    ClassTable<Point, Ctor<from_fields<Point, double>, "x">,
               Binary<Py_nb_multiply, Scaled, Op<"__radd__", times_reflected<Point, double>, "lhs">>, Equality>;
#elif FAULT == 3  // a special method given as a plain slot, which no record would announce
using Table = ClassTable<Point, Ctor<from_fields<Point, double>, "x">, Slot<Py_tp_repr, unary<point_repr>>, Equality>;
#elif FAULT == 4  // a special method under the wrong name
using Table = ClassTable<Point, Ctor<from_fields<Point, double>, "x">,
                         Special<Py_tp_repr, "__str__", unary<point_repr>, std::string>, Equality>;
#elif FAULT == 5  // nothing said about comparison
using Table = ClassTable<Point, Ctor<from_fields<Point, double>, "x">, Repr<point_repr>>;
#elif FAULT == 6  // two ways to compare
using Table = ClassTable<Point, Ctor<from_fields<Point, double>, "x">, Equality, CompareByIdentity>;
#elif FAULT == 8 || FAULT == 9 || FAULT == 10
using Table = ClassTable<Point, Ctor<from_fields<Point, double>, "x">, Equality>;
#else  // 0, and 7: a faultless table, which 7 builds without a module table listing it
using Table =
    ClassTable<Point, Ctor<from_fields<Point, double>, "x">, Repr<point_repr>,
               Binary<Py_nb_multiply, Scaled, Op<"__rmul__", times_reflected<Point, double>, "lhs">>, Equality>;
#endif

#if FAULT != 7
// Trailing parameters that may be left out, and docstrings with prose.
inline double shifted(double x, Opt<double, "0.1"> by) { return x + by; }
inline constexpr ProseEntry kProse[] = {{"guards", "The module."}, {"shifted", "x shifted."}};
#if FAULT == 8  // a documented function without prose
inline double unshifted(double x) { return x; }
using Extra = Documented<kProse>::Function<"unshifted", unshifted, "x">;
#elif FAULT == 9   // a required parameter after an optional one
inline double backwards(Opt<double, "1.5"> by, double x) { return x + by; }
using Extra = Function<"backwards", backwards, "by", "x">;
#elif FAULT == 10  // a default no exact reading gives
inline double far(double x, Opt<double, "1e-30"> by) { return x + by; }
using Extra = Function<"far", far, "x", "by">;
#else
using Extra = Documented<kProse>::Function<"shifted", shifted, "x", "by">;
#endif
// The defaults are the literals' correctly rounded values.
static_assert(Caster<Opt<double, "1e-09">>::default_value == 1e-09);
static_assert(Caster<Opt<double, "0.1">>::default_value == 0.1);
static_assert(Caster<Opt<double, "-2.5e3">>::default_value == -2500.0);
static_assert(Caster<Opt<double, "123456789012345e-22">>::default_value == 123456789012345e-22);
static_assert(Caster<Opt<std::size_t, "300">>::default_value == 300);
static_assert(!Caster<Opt<bool, "False">>::default_value && Caster<Opt<bool, "True">>::default_value);
static_assert(same_text(Extra::doc.data, "shifted(x, by=0.1)\n--\n\nx shifted.") || FAULT != 0);

using Root = Module<"guards", "guards", Class<Point>, Extra>;
#endif

}  // namespace

PyTypeObject* Bound<Point>::create() { return Table::create(); }

}  // namespace ostrilo

#if FAULT != 7
extern "C" [[gnu::visibility("default")]] PyObject* PyInit_guards() { return ostrilo::Root::init(); }
#endif
