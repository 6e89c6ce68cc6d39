// Tests of the core library against independent answers: the text form against known texts and
// the C library's strtod, the hash against a plain byte-wise SipHash, trigonometry against
// correctly rounded values computed in multiprecision. Plain executable: prints one line per failed
// case and a closing count; exit status 0 iff all pass.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "drevan/hash.hpp"
#include "drevan/number_format.hpp"
#include "drevan/trig.hpp"
#include "drevan/vec3d.hpp"

namespace {

int g_failed = 0, g_passed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED %s\n", what.c_str());
    }
}

std::string text_of(double x) {
    char buf[drevan::NUMBER_TEXT_MAX];
    return std::string(buf, drevan::format_number(buf, x));
}

std::string hex(double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", x);
    return buf;
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void test_text_form() {
    const struct {
        double x;
        std::string text;
    } cases[] = {
        {0.0, "0"},
        {-0.0, "-0"},
        {1.0, "1"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {123.456, "123.456"},
        {1e21, "1000000000000000000000"},
        {1e-7, "0.0000001"},
        {0.30000000000000004, "0.30000000000000004"},
        {kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
    };
    for (const auto& c : cases) check(text_of(c.x) == c.text, "text of " + hex(c.x) + ": " + text_of(c.x));

    // Any finite double: the text reads back as the same double, has no exponent and at most 17
    // significant digits.
    std::mt19937_64 rng(20261207);
    for (int i = 0; i < 20000; ++i) {
        const double x = std::bit_cast<double>(rng());
        if (!std::isfinite(x)) continue;
        const std::string t = text_of(x);
        const double back = std::strtod(t.c_str(), nullptr);
        std::size_t digits = 0;
        bool leading = true;
        for (char ch : t) {
            if (ch < '0' || ch > '9') continue;
            if (ch != '0') leading = false;
            if (!leading) ++digits;
        }
        // Trailing zeros of an integer part are not significant: count up to the last non-zero.
        const std::size_t last = t.find_last_not_of("0.");
        std::size_t significant = digits;
        if (t.find('.') == std::string::npos && last != std::string::npos) significant -= t.size() - 1 - last;
        const bool ok = std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(x) &&
                        t.find_first_of("eE") == std::string::npos && significant <= 17;
        if (!ok) {
            check(false, "round trip of " + hex(x) + ": " + t);
            return;
        }
    }
    check(true, "round trips");
}

// SipHash written from its description, one byte at a time, with c compression and d
// finalisation rounds.
std::uint64_t siphash_bytes(int c, int d, std::uint64_t k0, std::uint64_t k1, const std::vector<unsigned char>& m) {
    auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    std::uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL;
    std::uint64_t v2 = k0 ^ 0x6c7967656e657261ULL, v3 = k1 ^ 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
    };
    const std::size_t n = m.size();
    for (std::size_t at = 0; at <= n; at += 8) {
        std::uint64_t block = 0;
        if (at + 8 <= n) {
            for (int b = 0; b < 8; ++b) block |= std::uint64_t(m[at + b]) << (8 * b);
        } else {
            for (std::size_t b = 0; at + b < n; ++b) block |= std::uint64_t(m[at + b]) << (8 * b);
            block |= std::uint64_t(n & 0xff) << 56;
        }
        v3 ^= block;
        for (int r = 0; r < c; ++r) round();
        v0 ^= block;
        if (at + 8 > n) break;
        if (at + 8 == n) {  // whole blocks only: the length goes into one more block
            const std::uint64_t last = std::uint64_t(n & 0xff) << 56;
            v3 ^= last;
            for (int r = 0; r < c; ++r) round();
            v0 ^= last;
            break;
        }
    }
    v2 ^= 0xff;
    for (int r = 0; r < d; ++r) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

void test_hash() {
    // The byte-wise reference reproduces the published SipHash-2-4 vectors (key 00..0f).
    std::vector<unsigned char> msg;
    check(siphash_bytes(2, 4, 0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, msg) == 0x726fdb47dd0e0e31ULL,
          "reference SipHash-2-4, empty message");
    for (unsigned char b = 0; b < 15; ++b) msg.push_back(b);
    check(siphash_bytes(2, 4, 0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, msg) == 0xa129ca6149be45e5ULL,
          "reference SipHash-2-4, 15 bytes");

    // drevan's word-wise SipHash-1-3 agrees with it for any words and keys.
    std::mt19937_64 rng(7);
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 9u}) {
        for (int rep = 0; rep < 50; ++rep) {
            const std::uint64_t k0 = rep == 0 ? 0 : rng(), k1 = rep == 0 ? 0 : rng();
            std::vector<std::uint64_t> words(n);
            std::vector<unsigned char> bytes;
            for (auto& w : words) {
                w = rng();
                for (int b = 0; b < 8; ++b) bytes.push_back(static_cast<unsigned char>(w >> (8 * b)));
            }
            if (drevan::siphash13_words(k0, k1, words.data(), n) != siphash_bytes(1, 3, k0, k1, bytes)) {
                check(false, "SipHash-1-3 of " + std::to_string(n) + " words");
                return;
            }
        }
    }
    check(true, "SipHash-1-3 of words");

    // Equal vectors hash equally: -0 like 0, every NaN alike; different components differ.
    const double nan2 = std::bit_cast<double>(0xfff0000000000123ULL);
    const struct {
        drevan::Vec3d a, b;
        bool equal;
    } pairs[] = {
        {{0.0, 1.0, 2.0}, {-0.0, 1.0, 2.0}, true},
        {{kNaN, 0.0, 0.0}, {nan2, 0.0, 0.0}, true},
        {{1.0, 2.0, 3.0}, {1.0, 2.0, 3.0}, true},
        {{1.0, 2.0, 3.0}, {3.0, 2.0, 1.0}, false},
        {{1.0, 2.0, 3.0}, {1.0, 2.0, std::nextafter(3.0, 4.0)}, false},
    };
    for (const auto& p : pairs)
        check((p.a.hash64() == p.b.hash64()) == p.equal, "hash of " + p.a.repr() + " and " + p.b.repr());
}

void test_trig() {
    using namespace drevan;
    // Correctly rounded values (multiprecision, 200 bits) at arguments that stress each path.
    const struct {
        const char* name;
        double (*f)(double);
        double x, expected;
    } cases[] = {
        {"sin", trig::sin, 0.0, 0.0},
        {"sin", trig::sin, -0.0, -0.0},
        {"cos", trig::cos, 0.0, 1.0},
        {"tan", trig::tan, -0.0, -0.0},
        {"sin", trig::sin, 0.5, 0.479425538604203},
        {"cos", trig::cos, 0.5, 0.8775825618903728},
        {"sin", trig::sin, 1.0, 0.8414709848078965},
        {"cos", trig::cos, 1.0, 0.5403023058681398},
        {"tan", trig::tan, 1.0, 1.5574077246549023},
        {"sin", trig::sin, 3.141592653589793, 1.2246467991473532e-16},
        {"cos", trig::cos, 3.141592653589793, -1.0},
        {"tan", trig::tan, 0.7853981633974483, 0.9999999999999999},
        {"tan", trig::tan, 1.5707963267948966, 1.633123935319537e16},
        {"sin", trig::sin, 1e22, -0.8522008497671888},
        {"cos", trig::cos, 1e22, 0.523214785395139},
        {"sin", trig::sin, 1e300, -0.8178819121159085},
        {"cos", trig::cos, 9.313225746154785e-10, 1.0},
        {"acos", trig::acos, -1.0, 3.141592653589793},
        {"acos", trig::acos, 0.0, 1.5707963267948966},
        {"acos", trig::acos, 0.5, 1.0471975511965979},
        {"acos", trig::acos, 1.0, 0.0},
    };
    for (const auto& c : cases) {
        const double got = c.f(c.x);
        check(std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(c.expected),
              std::string(c.name) + "(" + hex(c.x) + ") = " + hex(got) + ", expected " + hex(c.expected));
    }
    const struct {
        const char* name;
        double (*f)(double);
        double x;
    } nan_cases[] = {
        {"sin", trig::sin, kInf}, {"cos", trig::cos, -kInf}, {"tan", trig::tan, kNaN}, {"acos", trig::acos, 1.5}};
    for (const auto& c : nan_cases) check(std::isnan(c.f(c.x)), std::string(c.name) + "(" + hex(c.x) + ") is NaN");

    // sin_cos gives the bits of sin and cos.
    std::mt19937_64 rng(11);
    for (int i = 0; i < 5000; ++i) {
        const double x =
            std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng), static_cast<int>(rng() % 80) - 20);
        double s, c;
        trig::sin_cos(x, s, c);
        if (std::bit_cast<std::uint64_t>(s) != std::bit_cast<std::uint64_t>(trig::sin(x)) ||
            std::bit_cast<std::uint64_t>(c) != std::bit_cast<std::uint64_t>(trig::cos(x))) {
            check(false, "sin_cos(" + hex(x) + ")");
            return;
        }
    }
    check(true, "sin_cos");
}

// The double nearest to v when a value known to within 2^-60 relative decides it (else false).
bool round_decided(long double v, double& out) {
    const double d = static_cast<double>(v);
    const long double err = std::fabs(v) * 0x1p-60L;
    if (static_cast<double>(v - err) != d || static_cast<double>(v + err) != d) return false;
    out = d;
    return true;
}

// sin and cos where the quick evaluation has to judge its own error most finely: next to the
// multiples of pi/2 (where one of them is small and the reduction's error weighs most), next to
// pi/4 and the other bounds where the evaluation changes hands, in every quadrant. The oracle is
// the C library's long double sine and cosine (64-bit significands on x86), whose result is used
// only where it decides the rounding to double with a wide margin; where long double is no wider
// than double the test has no oracle and is skipped.
void test_sin_cos_at_edges() {
    using namespace drevan;
    if constexpr (std::numeric_limits<long double>::digits < 64) return;
    std::vector<double> xs;
    auto around = [&xs](double c, int steps) {
        double up = c, down = c;
        for (int k = 0; k < steps; ++k) {
            xs.push_back(up);
            xs.push_back(-down);
            up = std::nextafter(up, kInf);
            down = std::nextafter(down, 0.0);
        }
    };
    for (int k = 1; k < 4000; ++k) around(k * 1.5707963267948966, 24);  // the double nearest k pi/2
    for (double c : {0x1.921fb54442d18p-1, 0x1.921fb54442d19p-1, 0x1p-27, 0x1p-26, 0x1p-7, 0x1p19, 2.356194490192345})
        around(c, 2000);
    int decided = 0, wrong = 0;
    for (double x : xs) {
        double s, c, want_s, want_c;
        trig::sin_cos(x, s, c);
        const long double lx = x;
        if (round_decided(sinl(lx), want_s)) {
            ++decided;
            if (std::bit_cast<std::uint64_t>(s) != std::bit_cast<std::uint64_t>(want_s) && wrong++ < 5)
                std::printf("  sin(%s) = %s, expected %s\n", hex(x).c_str(), hex(s).c_str(), hex(want_s).c_str());
        }
        if (round_decided(cosl(lx), want_c)) {
            ++decided;
            if (std::bit_cast<std::uint64_t>(c) != std::bit_cast<std::uint64_t>(want_c) && wrong++ < 5)
                std::printf("  cos(%s) = %s, expected %s\n", hex(x).c_str(), hex(c).c_str(), hex(want_c).c_str());
        }
    }
    check(wrong == 0 && decided > static_cast<int>(xs.size()), "sin_cos at the edges of its quick evaluation");
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a != a && b != b);
}

// The four-at-a-time forms give the bits of the single functions, lane by lane, wherever the
// lanes' arguments fall: mixed with special values (which take the single path), at the
// thresholds where the arctangent's reduction changes form, next to multiples of pi/2.
void test_four_at_a_time() {
    using namespace drevan;
    std::mt19937_64 rng(17);
    const double specials[] = {
        0.0,    -0.0,  1.0,    -1.0,   kInf,   -kInf,  kNaN,   5e-324,  0x1p-27, 0x1p-26,
        0x1p19, 1e300, 0.4375, 0.6875, 1.1875, 2.4375, 0x1p60, 0x1p-60, 0x1p-7,  0x1.fffffffffffffp-8};
    auto pick = [&](int kind) {
        const double u = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
        switch (kind) {
            case 0:
                return specials[rng() % std::size(specials)] * (rng() & 1 ? 1.0 : -1.0);
            case 1:
                return std::ldexp(u, static_cast<int>(rng() % 200) - 100);
            case 2: {  // a neighbour of k pi/2, or of a threshold of the arctangent's ratio
                double x = static_cast<double>(static_cast<int>(rng() % 2000) - 1000) * 1.5707963267948966;
                if (rng() & 1) x = specials[12 + rng() % 4];
                for (int k = static_cast<int>(rng() % 6); k > 0; --k) x = std::nextafter(x, kInf);
                return x;
            }
            default:
                return 8.0 * u;
        }
    };
    int wrong = 0;
    std::vector<double> all, all_y;
    for (int i = 0; i < 200000 && wrong < 5; ++i) {
        double x[4], y[4], a[4], s[4], c[4];
        for (int k = 0; k < 4; ++k) x[k] = pick(static_cast<int>(rng() % 4)), y[k] = pick(static_cast<int>(rng() % 4));
        all.insert(all.end(), x, x + 4);
        all_y.insert(all_y.end(), y, y + 4);
        trig::atan2_4(y, x, a);
        trig::sin_cos_4(x, s, c);
        for (int k = 0; k < 4; ++k) {
            double s1, c1;
            trig::sin_cos(x[k], s1, c1);
            if (!same_bits(a[k], trig::atan2(y[k], x[k])) || !same_bits(s[k], s1) || !same_bits(c[k], c1)) {
                ++wrong;
                std::printf("  lane %d of (%s, %s)\n", k, hex(y[k]).c_str(), hex(x[k]).c_str());
            }
        }
    }
    check(wrong == 0, "atan2_4 and sin_cos_4 are atan2 and sin_cos lane by lane");

    // The same arguments in runs of every length up to 20 (groups of eight or four and the tails
    // after them), through the widest build this processor has and through the baseline one.
    std::vector<double> s(all.size()), c(all.size()), sb(all.size()), cb(all.size()), a(all.size()), ab(all.size());
    wrong = 0;
    for (std::size_t at = 0, len = 0; at < all.size(); at += len, len = (len + 1) % 21) {
        const std::size_t m = std::min(len, all.size() - at);
        trig::sin_cos_n(all.data() + at, s.data() + at, c.data() + at, m);
        trig::sin_cos_n_base(all.data() + at, sb.data() + at, cb.data() + at, m);
        trig::atan2_n(all_y.data() + at, all.data() + at, a.data() + at, m);
        trig::atan2_n_base(all_y.data() + at, all.data() + at, ab.data() + at, m);
    }
    for (std::size_t k = 0; k < all.size() && wrong < 5; ++k) {
        double s1, c1;
        trig::sin_cos(all[k], s1, c1);
        const double a1 = trig::atan2(all_y[k], all[k]);
        if (!same_bits(s[k], s1) || !same_bits(c[k], c1) || !same_bits(sb[k], s1) || !same_bits(cb[k], c1) ||
            !same_bits(a[k], a1) || !same_bits(ab[k], a1)) {
            ++wrong;
            std::printf("  sin_cos_n or atan2_n at (%s, %s)\n", hex(all_y[k]).c_str(), hex(all[k]).c_str());
        }
    }
    check(wrong == 0, "sin_cos_n and atan2_n (widest and baseline builds) are sin_cos and atan2 element by element");
}

}  // namespace

int main() {
    test_text_form();
    test_hash();
    test_trig();
    test_sin_cos_at_edges();
    test_four_at_a_time();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
