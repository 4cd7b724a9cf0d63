// Vickers hardness from isotropic elastic moduli: the Chen (2011), Tian (2012),
// Jiang (2011) and Mazhnik (2019) models.
//
// All moduli and results in GPa; Poisson's ratio dimensionless. The arithmetic
// follows Python float semantics term by term (including principal complex
// powers of negative bases), so results agree to the last bit with the same
// formulas evaluated by the interpreter.
#pragma once

namespace ferrolith::properties {

/// Failures that Python's float arithmetic reports as exceptions.
enum class ArithmeticError {
    kNone,
    kDivisionByZero,  ///< ZeroDivisionError("float division by zero")
    kZeroToNegative,  ///< ZeroDivisionError for 0.0 ** negative
    kOverflow,        ///< OverflowError of float ** float
    kComplexOverflow, ///< OverflowError of complex ** float
};

/// A Python number that is either a float or a complex.
struct PyNumber {
    double re = 0.0;
    double im = 0.0;
    bool is_complex = false;
    ArithmeticError error = ArithmeticError::kNone;
};

/// x ** y for two Python floats: a float, or a complex when x < 0 and y is not
/// an integer (principal value), with CPython's special cases.
PyNumber python_pow(double x, double y);

/// a * b for Python float/complex operands.
PyNumber python_mul(const PyNumber& a, const PyNumber& b);

/// x / y for Python floats.
PyNumber python_div(double x, double y);

/// Chen 2011: Hv = 2 (k² G)^0.585 − 3, k = G/B; real part of a complex power,
/// clamped at 0. Always a float (unless an arithmetic error).
PyNumber chen_hardness(double shear, double bulk);

/// Tian 2012: Hv = 0.92 k^1.137 G^0.708, k = G/B; a float when the imaginary
/// part is zero, else complex. Not clamped.
PyNumber tian_hardness(double shear, double bulk);

/// Jiang 2011 from the shear modulus: G / 6.78.
double jiang_from_shear(double shear);
/// Jiang 2011 from Young's modulus: E / 16.48.
double jiang_from_young(double young);

/// ν = (3B − 2G) / (2 (3B + G)).
PyNumber poisson_from_shear_bulk(double shear, double bulk);
/// ν = E / (2G) − 1.
PyNumber poisson_from_young_shear(double young, double shear);
/// ν = (3B − E) / (6B).
PyNumber poisson_from_young_bulk(double young, double bulk);

/// True when −1 < ν < 0.5 strictly (NaN is outside).
bool poisson_in_typical_range(double poisson);

/// Mazhnik's χ(ν) = (1 − 8.5ν + 19.5ν²) / (1 − 7.5ν + 12.2ν² + 19.6ν³).
PyNumber mazhnik_poisson_factor(double poisson);

/// E = 2 G (1 + ν).
double young_from_shear(double shear, double poisson);
/// E = 3 B (1 − 2ν).
double young_from_bulk(double bulk, double poisson);

/// Mazhnik 2019: Hv = γ0 χ(ν) E with γ0 = 0.096.
double mazhnik_hardness(double poisson_factor, double young);

} // namespace ferrolith::properties
