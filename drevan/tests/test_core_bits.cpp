// The bits of the core library on this platform. Plain executable, in two parts:
//
//   test_core_bits HARD_CASES   checks sin, cos, tan and acos on the hardest-to-round arguments
//                               (tests/data/trig-hard-cases.txt, results computed in multiprecision)
//                               bit for bit, then prints the digests;
//   test_core_bits              prints the digests only.
//
// A digest line gives, for one core operation, how many results it produced over a fixed set of
// arguments (special values and arguments of every magnitude, drawn from a generator whose
// sequence the C++ standard fixes) and a hash of their bits. Nothing here depends on the C
// library: hex floats are parsed and results hashed by this file, so the same program built for
// another system must print the same lines. CI builds it for Linux and for Windows (run under
// wine) and compares the two outputs (tools/wheels/cross.sh).
// Closing line: "N passed, N failed" (the hard cases); exit status 0 iff none failed.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "drevan/angle.hpp"
#include "drevan/geometry/intersection.hpp"
#include "drevan/number_format.hpp"
#include "drevan/quat.hpp"
#include "drevan/trig.hpp"
#include "drevan/vec3d.hpp"

namespace {

using drevan::Quat;
using drevan::Vec3d;

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// "0x1.921fb54442d18p+1", "-0x0.0p+0": exact, without the C library's strtod.
bool parse_hex(const std::string& s, double& out) {
    std::size_t i = 0;
    const bool negative = i < s.size() && s[i] == '-';
    if (negative) ++i;
    if (s.compare(i, 2, "0x") != 0) return false;
    i += 2;
    std::uint64_t mantissa = 0;
    int exponent = 0, digits = 0;
    bool point = false;
    for (; i < s.size() && s[i] != 'p'; ++i) {
        const char c = s[i];
        if (c == '.') {
            point = true;
            continue;
        }
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0 || ++digits > 15) return false;
        mantissa = mantissa * 16 + static_cast<unsigned>(v);
        if (point) exponent -= 4;
    }
    if (i >= s.size()) return false;
    const int e = std::stoi(s.substr(i + 1));
    out = std::ldexp(static_cast<double>(mantissa), exponent + e);  // exact: at most 53 bits
    if (negative) out = -out;
    return true;
}

int g_passed = 0, g_failed = 0;

void check_hard_cases(const char* path) {
    std::ifstream in(path);
    if (!in) {
        std::printf("FAILED cannot read %s\n", path);
        ++g_failed;
        return;
    }
    std::string name, x_text, y_text, rest;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto a = line.find(' '), b = line.find(' ', a + 1), c = line.find(' ', b + 1);
        name = line.substr(0, a);
        double x, y;
        if (!parse_hex(line.substr(a + 1, b - a - 1), x) || !parse_hex(line.substr(b + 1, c - b - 1), y)) {
            std::printf("FAILED unreadable line: %s\n", line.c_str());
            ++g_failed;
            continue;
        }
        const double got = name == "sin"   ? drevan::trig::sin(x)
                           : name == "cos" ? drevan::trig::cos(x)
                           : name == "tan" ? drevan::trig::tan(x)
                                           : drevan::trig::acos(x);
        if (bits_of(got) == bits_of(y)) {
            ++g_passed;
        } else {
            ++g_failed;
            if (g_failed <= 20) std::printf("FAILED %s\n", line.c_str());
        }
    }
}

// FNV-1a over 64-bit words; every NaN counts as one value (which NaN an operation on NaNs
// returns is the processor's choice, and the golden files do the same).
struct Digest {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    std::size_t count = 0;
    void word(std::uint64_t w) {
        for (int k = 0; k < 8; ++k) {
            hash ^= (w >> (8 * k)) & 0xff;
            hash *= 0x100000001b3ULL;
        }
        ++count;
    }
    void add(double x) { word(x == x ? bits_of(x) : 0x7ff8000000000000ULL); }
    void add(const Vec3d& v) {
        add(v.x);
        add(v.y);
        add(v.z);
    }
    void add(const Quat& q) {
        add(q.w);
        add(q.i);
        add(q.j);
        add(q.k);
    }
    void add(const std::string& text) {
        for (unsigned char ch : text) word(ch);
    }
};

// Arguments: the special values, then doubles of every magnitude from raw generator bits.
std::vector<double> arguments() {
    const double inf = std::numeric_limits<double>::infinity(), pi = std::numbers::pi;
    std::vector<double> xs = {0.0,    -0.0,
                              1.0,    -1.0,
                              0.5,    2.0,
                              3.0,    1e-300,
                              -1e300, inf,
                              -inf,   std::numeric_limits<double>::quiet_NaN(),
                              5e-324, -2.2250738585072014e-308,
                              1e22,   1e-16,
                              0.1,    -0.7,
                              pi,     pi / 2,
                              pi / 4};
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 3000; ++i) {
        const std::uint64_t r = rng();
        const double unit = std::bit_cast<double>((r >> 12) | 0x3ff0000000000000ULL) - 1.0;  // [0, 1)
        const int exponent = static_cast<int>(rng() % 120) - 60;
        xs.push_back(std::ldexp(r & 1 ? -unit : unit, exponent));
    }
    return xs;
}

void print(const char* name, const Digest& d) {
    std::printf("digest %-24s %6zu %016llx\n", name, d.count, static_cast<unsigned long long>(d.hash));
}

void print_digests() {
    const std::vector<double> xs = arguments();
    const std::size_t n = xs.size();
    std::vector<Vec3d> vs;
    for (std::size_t k = 0; k + 2 < n; k += 3) vs.push_back({xs[k], xs[k + 1], xs[k + 2]});

    Digest sin, cos, tan, acos, atan, atan2, text, degrees, radians;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = xs[k];
        sin.add(drevan::trig::sin(x));
        cos.add(drevan::trig::cos(x));
        tan.add(drevan::trig::tan(x));
        acos.add(drevan::trig::acos(std::fmod(x, 1.0)));
        atan.add(drevan::trig::atan(x));
        atan2.add(drevan::trig::atan2(x, xs[(k + 7) % n]));
        char buf[drevan::NUMBER_TEXT_MAX];
        text.add(std::string(buf, drevan::format_number(buf, x)));
        degrees.add(drevan::AngleRadians{x}.to_degrees().angle);
        radians.add(drevan::AngleDegrees{x}.to_radians().angle);
    }
    print("trig::sin", sin);
    print("trig::cos", cos);
    print("trig::tan", tan);
    print("trig::acos", acos);
    print("trig::atan", atan);
    print("trig::atan2", atan2);
    print("format_number", text);
    print("to_degrees", degrees);
    print("to_radians", radians);

    Digest add, sub, scale, divide, dot, cross, magnitude, normalize, distance, line, onto_line, onto_plane, angle,
        hash, repr, from_axis_angle, rotate, matrix, axis_angle, quat_normalize, plane_line, circles;
    const std::size_t m = vs.size();
    for (std::size_t k = 0; k < m; ++k) {
        const Vec3d& a = vs[k];
        const Vec3d& b = vs[(k + 1) % m];
        const Vec3d& c = vs[(k + 5) % m];
        const double s = xs[(k * 7) % n];
        add.add(a + b);
        sub.add(a - b);
        scale.add(a * s);
        divide.add(a / s);
        dot.add(a.dot(b));
        cross.add(a.cross(b));
        magnitude.add(a.magnitude());
        normalize.add(a.normalize());
        distance.add(a.distance_to(b));
        line.add(a.distance_to_line(b, c));
        onto_line.add(a.project_onto_line(b, c));
        onto_plane.add(a.project_onto_plane(b.normalize()));
        angle.add(a.angle_to(b));
        hash.word(a.hash64());
        repr.add(a.repr());
        const Quat q = Quat::from_axis_angle(b.normalize(), s);
        from_axis_angle.add(q);
        rotate.add(q.rotate(a));
        for (const auto& row : q.to_rotation_matrix())
            for (double e : row) matrix.add(e);
        const auto [axis, theta] = q.to_axis_angle();
        axis_angle.add(axis);
        axis_angle.add(theta);
        quat_normalize.add(Quat{s, a.x, a.y, a.z}.normalize());
        plane_line.add(drevan::geometry::plane_line(drevan::geometry::Plane::make(b, s), a, c));
        const auto cc = drevan::geometry::circle_circle(drevan::geometry::Circle::make(a, std::fabs(s), b),
                                                        drevan::geometry::Circle::make(c, 1.5, b));
        circles.add(cc.ok() ? 1.0 : 0.0);
        if (cc.ok()) {
            circles.add(cc.first);
            circles.add(cc.second);
        }
    }
    print("Vec3d +", add);
    print("Vec3d -", sub);
    print("Vec3d * s", scale);
    print("Vec3d / s", divide);
    print("Vec3d.dot", dot);
    print("Vec3d.cross", cross);
    print("Vec3d.magnitude", magnitude);
    print("Vec3d.normalize", normalize);
    print("Vec3d.distance_to", distance);
    print("Vec3d.distance_to_line", line);
    print("project_onto_line", onto_line);
    print("project_onto_plane", onto_plane);
    print("Vec3d.angle_to", angle);
    print("Vec3d.hash64", hash);
    print("Vec3d.repr", repr);
    print("Quat.from_axis_angle", from_axis_angle);
    print("Quat.rotate", rotate);
    print("Quat.to_rotation_matrix", matrix);
    print("Quat.to_axis_angle", axis_angle);
    print("Quat.normalize", quat_normalize);
    print("geometry::plane_line", plane_line);
    print("geometry::circle_circle", circles);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) check_hard_cases(argv[1]);
    print_digests();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
