#include "ferrolith/properties/moduli.hpp"

#include <cerrno>
#include <cmath>
#include <initializer_list>

namespace ferrolith::properties {

namespace {

PyNumber real(double x) {
    return {x, 0.0, false, ArithmeticError::kNone};
}

PyNumber failure(ArithmeticError error) {
    PyNumber n;
    n.error = error;
    return n;
}

bool is_odd_integer(double x) {
    return std::fmod(std::fabs(x), 2.0) == 1.0;
}

// The principal value of a ** b for a complex base and a real exponent, as
// CPython's complex power computes it for non-integral exponents.
PyNumber complex_pow(double a_re, double a_im, double b) {
    if (b == 0.0) {
        return {1.0, 0.0, true, ArithmeticError::kNone};
    }
    if (a_re == 0.0 && a_im == 0.0) {
        return {0.0, 0.0, true,
                b < 0.0 ? ArithmeticError::kZeroToNegative : ArithmeticError::kNone};
    }
    const double vabs = std::hypot(a_re, a_im);
    const double len = std::pow(vabs, b);
    const double phase = std::atan2(a_im, a_re) * b;
    PyNumber r{len * std::cos(phase), len * std::sin(phase), true, ArithmeticError::kNone};
    if (std::isinf(r.re) || std::isinf(r.im)) {
        r.error = ArithmeticError::kComplexOverflow;
    }
    return r;
}

} // namespace

PyNumber python_pow(double x, double y) {
    // Special cases in the order CPython's float power tests them.
    if (y == 0.0) {
        return real(1.0);
    }
    if (std::isnan(x)) {
        return real(x);
    }
    if (std::isnan(y)) {
        return real(x == 1.0 ? 1.0 : y);
    }
    if (std::isinf(y)) {
        const double ax = std::fabs(x);
        if (ax == 1.0) {
            return real(1.0);
        }
        return real((y > 0.0) == (ax > 1.0) ? HUGE_VAL : 0.0);
    }
    if (std::isinf(x)) {
        const bool odd = is_odd_integer(y);
        if (y > 0.0) {
            return real(odd ? x : std::fabs(x));
        }
        return real(odd ? std::copysign(0.0, x) : 0.0);
    }
    if (x == 0.0) {
        if (y < 0.0) {
            return failure(ArithmeticError::kZeroToNegative);
        }
        return real(is_odd_integer(y) ? x : 0.0);
    }
    bool negate = false;
    if (x < 0.0) {
        if (y != std::floor(y)) {
            return complex_pow(x, 0.0, y);
        }
        x = -x;
        negate = is_odd_integer(y);
    }
    if (x == 1.0) {
        return real(negate ? -1.0 : 1.0);
    }
    const double value = std::pow(x, y);
    if (std::isinf(value)) {
        return failure(ArithmeticError::kOverflow);
    }
    return real(negate ? -value : value);
}

PyNumber python_mul(const PyNumber& a, const PyNumber& b) {
    if (!a.is_complex && !b.is_complex) {
        return real(a.re * b.re);
    }
    // A float operand is promoted to (x, 0) and the full product taken.
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re, true, ArithmeticError::kNone};
}

PyNumber python_div(double x, double y) {
    if (y == 0.0) {
        return failure(ArithmeticError::kDivisionByZero);
    }
    return real(x / y);
}

PyNumber chen_hardness(double shear, double bulk) {
    const PyNumber k = python_div(shear, bulk);
    if (k.error != ArithmeticError::kNone) {
        return k;
    }
    const PyNumber power = python_pow(k.re * k.re * shear, 0.585);
    if (power.error != ArithmeticError::kNone) {
        return power;
    }
    const PyNumber scaled = python_mul(real(2.0), power);
    const double hardness = scaled.re - 3.0;
    return real(0.0 > hardness ? 0.0 : hardness); // max(hardness, 0.0)
}

PyNumber tian_hardness(double shear, double bulk) {
    const PyNumber k = python_div(shear, bulk);
    if (k.error != ArithmeticError::kNone) {
        return k;
    }
    const PyNumber k_power = python_pow(k.re, 1.137);
    if (k_power.error != ArithmeticError::kNone) {
        return k_power;
    }
    const PyNumber g_power = python_pow(shear, 0.708);
    if (g_power.error != ArithmeticError::kNone) {
        return g_power;
    }
    PyNumber hardness = python_mul(python_mul(real(0.92), k_power), g_power);
    if (hardness.is_complex && hardness.im == 0.0) {
        hardness.is_complex = false;
    }
    return hardness;
}

double jiang_from_shear(double shear) {
    return shear / 6.78;
}

double jiang_from_young(double young) {
    return young / 16.48;
}

PyNumber poisson_from_shear_bulk(double shear, double bulk) {
    return python_div(3.0 * bulk - 2.0 * shear, 2.0 * (3.0 * bulk + shear));
}

PyNumber poisson_from_young_shear(double young, double shear) {
    PyNumber ratio = python_div(young, 2.0 * shear);
    if (ratio.error == ArithmeticError::kNone) {
        ratio.re -= 1.0;
    }
    return ratio;
}

PyNumber poisson_from_young_bulk(double young, double bulk) {
    return python_div(3.0 * bulk - young, 6.0 * bulk);
}

bool poisson_in_typical_range(double poisson) {
    return -1.0 < poisson && poisson < 0.5;
}

PyNumber mazhnik_poisson_factor(double nu) {
    const PyNumber nu2 = python_pow(nu, 2.0);
    const PyNumber nu3 = python_pow(nu, 3.0);
    for (const PyNumber* p : {&nu2, &nu3}) {
        if (p->error != ArithmeticError::kNone) {
            return *p;
        }
    }
    const double numerator = 1.0 - 8.5 * nu + 19.5 * nu2.re;
    const double denominator = 1.0 - 7.5 * nu + 12.2 * nu2.re + 19.6 * nu3.re;
    return python_div(numerator, denominator);
}

double young_from_shear(double shear, double poisson) {
    return 2.0 * shear * (1.0 + poisson);
}

double young_from_bulk(double bulk, double poisson) {
    return 3.0 * bulk * (1.0 - 2.0 * poisson);
}

double mazhnik_hardness(double poisson_factor, double young) {
    return 0.096 * poisson_factor * young;
}

} // namespace ferrolith::properties
