#pragma once
// Typed angles: radians carry the trigonometry, constants and arithmetic; degrees only convert
// back, negate and compare. No range reduction, no checks: NaN, infinities and -0 pass through.
#include <cmath>
#include <compare>
#include <string>

#include "drevan/trig.hpp"

namespace drevan {

// The double nearest to pi. Every conversion factor and every constant below is built from it.
inline constexpr double PI = 3.141592653589793;

struct AngleRadians;

struct AngleDegrees {
    double angle;

    // (angle * pi) / 180: the product is rounded before the division.
    constexpr AngleRadians to_radians() const;

    // Flips the sign bit: 0 becomes -0, NaN keeps its payload.
    constexpr AngleDegrees operator-() const { return {-angle}; }

    // Plain IEEE comparison of the stored doubles: -0 == 0, NaN compares false.
    friend constexpr bool operator==(const AngleDegrees& a, const AngleDegrees& b) { return a.angle == b.angle; }
    friend constexpr std::partial_ordering operator<=>(const AngleDegrees& a, const AngleDegrees& b) {
        return a.angle <=> b.angle;
    }

    // "90°", "-0°": the shortest round-trip number followed by the degree sign.
    std::string repr() const;
};

struct AngleRadians {
    double angle;

    static constexpr AngleRadians zero() { return {0.0}; }
    static constexpr AngleRadians pi() { return {PI}; }
    static constexpr AngleRadians two_pi() { return {PI * 2.0}; }
    static constexpr AngleRadians half_pi() { return {PI / 2.0}; }
    static constexpr AngleRadians quarter_pi() { return {PI / 4.0}; }
    // The rounded quotients of the double pi, one ulp below the doubles nearest to pi/3 and pi/6.
    static constexpr AngleRadians third_pi() { return {PI / 3.0}; }
    static constexpr AngleRadians sixth_pi() { return {PI / 6.0}; }

    // drevan's own functions (drevan/trig.hpp), the same bits on every platform.
    double sin() const { return trig::sin(angle); }
    double cos() const { return trig::cos(angle); }
    double tan() const { return trig::tan(angle); }
    double sec() const { return 1.0 / trig::cos(angle); }
    double csc() const { return 1.0 / trig::sin(angle); }
    // The reciprocal of the tangent, not cos/sin: +inf at 0, -inf at -0.
    double cot() const { return 1.0 / trig::tan(angle); }

    // (angle * 180) / pi: the product is rounded before the division.
    constexpr AngleDegrees to_degrees() const { return {(angle * 180.0) / PI}; }

    constexpr AngleRadians operator-() const { return {-angle}; }
    constexpr AngleRadians operator+(const AngleRadians& b) const { return {angle + b.angle}; }
    constexpr AngleRadians operator-(const AngleRadians& b) const { return {angle - b.angle}; }
    constexpr AngleRadians operator*(double s) const { return {angle * s}; }
    constexpr AngleRadians operator/(double s) const { return {angle / s}; }

    friend constexpr bool operator==(const AngleRadians& a, const AngleRadians& b) { return a.angle == b.angle; }
    friend constexpr std::partial_ordering operator<=>(const AngleRadians& a, const AngleRadians& b) {
        return a.angle <=> b.angle;
    }

    // "1 radians", "-0 radians", "NaN radians".
    std::string repr() const;
};

constexpr AngleRadians AngleDegrees::to_radians() const { return {(angle * PI) / 180.0}; }

static_assert(AngleRadians::two_pi().angle == 6.283185307179586);
static_assert(AngleRadians::half_pi().angle == 1.5707963267948966);
static_assert(AngleRadians::quarter_pi().angle == 0.7853981633974483);
static_assert(AngleRadians::third_pi().angle == 1.0471975511965976);
static_assert(AngleRadians::sixth_pi().angle == 0.5235987755982988);

}  // namespace drevan
