// ferrolith.properties.tensor: elastic tensors from files, and what follows
// from a tensor (moduli, stability, anisotropy).
#include "ferrolith/_binding/binding.hpp"
#include "ferrolith/_binding/text_lines.hpp"
#include "ferrolith/properties/cij_text.hpp"
#include "ferrolith/properties/elastic_fit.hpp"
#include "ferrolith/properties/moduli_record.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fb = ferrolith::binding;
namespace fp = ferrolith::properties;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

// A tensor whose C_ij and C_ji differ by more than this share of its largest
// entry is refused rather than symmetrised: it is not a stiffness tensor
// (a compliance matrix or a mistyped entry).
constexpr double kAsymmetryLimit = 1e-2;

constexpr const char* kShape = "cij must be a 6x6 matrix of finite numbers (GPa)";

std::string format_g(double x) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", x);
    return buffer;
}

fp::Matrix6 matrix6_of(py::handle value, const std::string& where) {
    py::array_t<double, py::array::c_style | py::array::forcecast> a;
    try {
        a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
    } catch (py::error_already_set&) {
        a = {};
    }
    if (!a || a.ndim() != 2 || a.shape(0) != 6 || a.shape(1) != 6) {
        PyErr_Clear();
        throw py::value_error(where + kShape + ".");
    }
    fp::Matrix6 c{};
    for (std::size_t i = 0; i < 6; ++i) {
        for (std::size_t j = 0; j < 6; ++j) {
            c[i][j] = a.data()[6 * i + j];
            if (!std::isfinite(c[i][j])) {
                throw py::value_error(where + kShape + ".");
            }
        }
    }
    return c;
}

py::array_t<double> numpy_of(const fp::Matrix6& c) {
    py::array_t<double> out({6, 6});
    for (std::size_t i = 0; i < 6; ++i) {
        for (std::size_t j = 0; j < 6; ++j) {
            out.mutable_at(i, j) = c[i][j];
        }
    }
    return out;
}

// The symmetric tensor, or ValueError when C_ij and C_ji disagree beyond
// rounding of the file's digits.
fp::Matrix6 symmetrised(const fp::Matrix6& c, const std::string& where) {
    double scale = 0.0;
    for (const auto& row : c)
        for (double x : row)
            scale = std::max(scale, std::abs(x));
    const double worst = fp::asymmetry(c);
    if (worst > kAsymmetryLimit * scale) {
        throw py::value_error(where +
                              "the matrix is not symmetric: C_ij and C_ji differ by up to " +
                              format_g(worst) + " GPa.");
    }
    fp::Matrix6 s{};
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t j = 0; j < 6; ++j)
            s[i][j] = 0.5 * (c[i][j] + c[j][i]);
    return s;
}

std::string name_of(py::handle fd, py::handle given) {
    if (fb::is_path_like(given)) {
        return py::str(py::module_::import("os").attr("fsdecode")(given)).cast<std::string>();
    }
    py::object name = py::getattr(fd, "name", py::none());
    return name.is_none() ? std::string("<file>") : py::str(name).cast<std::string>();
}

fp::Matrix6 matrix_of_json(const py::object& text, const std::string& name) {
    py::object data;
    try {
        data = globals["json_loads"](text);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        throw py::value_error(name +
                              ": not valid JSON: " + py::str(error.value()).cast<std::string>());
    }
    // A bare 6x6 list, or an object with a "cij" entry (as `ferrolith elastic
    // --json` writes it).
    if (PyDict_Check(data.ptr())) {
        py::dict record = data;
        if (!record.contains("cij")) {
            throw py::value_error(name + ": a JSON object needs a \"cij\" entry (6x6, GPa).");
        }
        data = record["cij"];
    }
    const std::string where = name + ": ";
    if (!PyList_Check(data.ptr()) || py::len(data) != 6) {
        throw py::value_error(where + kShape + ".");
    }
    for (py::handle row : data) {
        if (!PyList_Check(row.ptr()) || py::len(row) != 6) {
            throw py::value_error(where + kShape + ".");
        }
        for (py::handle x : row) {
            if (!PyFloat_Check(x.ptr()) && !(PyLong_Check(x.ptr()) && !PyBool_Check(x.ptr()))) {
                throw py::value_error(where + kShape + ".");
            }
        }
    }
    return matrix6_of(data, where);
}

fp::Matrix6 read_open_file(py::handle fd, const std::string& name) {
    const fb::TextLines lines(fd);
    const std::vector<std::string_view>& views = lines.views();
    auto raise = [&](const auto& outcome) {
        const std::string at = outcome.line > 0 ? ", line " + std::to_string(outcome.line) : "";
        throw py::value_error(name + at + ": " + outcome.error + ".");
    };
    for (std::string_view line : views) {
        const std::size_t first = line.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos) {
            continue;
        }
        if (line[first] == '[' || line[first] == '{') {
            return matrix_of_json(py::str("").attr("join")(lines.objects()), name);
        }
        break;
    }
    if (fp::has_outcar_moduli(views)) {
        auto parsed = fp::parse_outcar_moduli(views);
        if (!parsed) {
            raise(parsed);
        }
        return *parsed.value;
    }
    // An OUTCAR of a run that computed no tensor.
    const bool outcar = name.find("OUTCAR") != std::string::npos || fp::looks_like_outcar(views);
    if (outcar) {
        throw py::value_error(name + ": no \"TOTAL ELASTIC MODULI\" block in this OUTCAR (VASP "
                                     "writes it when run with IBRION = 6 and ISIF >= 3).");
    }
    auto parsed = fp::parse_matrix_text(views);
    if (!parsed) {
        raise(parsed);
    }
    return *parsed.value;
}

py::array_t<double> read_cij(py::object fd) {
    fp::Matrix6 c{};
    if (fb::is_path_like(fd)) {
        const std::string name = name_of(fd, fd);
        py::object file =
            py::module_::import("builtins")
                .attr("open")(fd, "r", "encoding"_a = "utf-8", "errors"_a = "replace");
        try {
            c = read_open_file(file, name);
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        return numpy_of(symmetrised(c, name + ": "));
    }
    if (!py::hasattr(fd, "readlines")) {
        throw py::type_error("fd must be a path or an open text file, not " + fb::type_name(fd));
    }
    const std::string name = name_of(fd, py::none());
    return numpy_of(symmetrised(read_open_file(fd, name), name + ": "));
}

py::object tensor_moduli(py::object cij) {
    const fp::Matrix6 c = symmetrised(matrix6_of(cij, ""), "");
    const fp::Moduli m = fp::voigt_reuss_hill(c);
    return globals["TensorModuli"](
        "cij"_a = numpy_of(c), "bulk_voigt"_a = m.bulk_voigt, "bulk_reuss"_a = m.bulk_reuss,
        "bulk_hill"_a = m.bulk_hill, "shear_voigt"_a = m.shear_voigt,
        "shear_reuss"_a = m.shear_reuss, "shear_hill"_a = m.shear_hill, "young"_a = m.young,
        "poisson"_a = m.poisson, "stable"_a = fp::positive_definite(c),
        "zener"_a = fp::zener_ratio(c), "universal_anisotropy"_a = fp::universal_anisotropy(m));
}

} // namespace

PYBIND11_MODULE(tensor, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(Elastic tensors the user already has, and what follows from a tensor.

``read_cij`` reads a tensor from a VASP OUTCAR (its "TOTAL ELASTIC MODULI"
block), a plain 6×6 text matrix or JSON; ``tensor_moduli`` gives the Voigt,
Reuss and Hill moduli (the same kernel as ``elastic_tensor``), the stability
verdict and the Zener and universal anisotropy indices.)doc";

    m.attr("json_loads") = py::module_::import("json").attr("loads");

    py::object floating = py::module_::import("builtins").attr("float");
    std::vector<fb::RecordField> fields = fb::moduli_record_fields();
    fields.push_back({"zener", floating, {}});
    fields.push_back({"universal_anisotropy", floating, {}});
    fb::make_record_class(
        m, "TensorModuli", fields,
        "Elastic tensor (GPa, Voigt order xx, yy, zz, yz, xz, xy), its Voigt, Reuss and Hill "
        "moduli (GPa), Young's modulus (GPa), Poisson's ratio, the stability verdict (positive "
        "definite), Zener's ratio (NaN unless cubic) and the universal anisotropy index.");

    m.def("read_cij", &read_cij, "fd"_a, R"doc(Reads an elastic tensor from a file.

Three layouts are recognised by content:

* a VASP OUTCAR with a "TOTAL ELASTIC MODULI (kBar)" block (the last one is
  read): kBar in VASP's order XX, YY, ZZ, XY, YZ, ZX, placed by the block's
  labels and converted to GPa in Voigt order;
* JSON: a 6×6 list, or an object whose "cij" entry is one (as
  ``ferrolith elastic --json`` writes), GPa, Voigt order;
* plain text: six rows of six numbers (blanks or commas between them, '#'
  starts a comment), GPa, Voigt order xx, yy, zz, yz, xz, xy.

Args:
    fd (str | os.PathLike | file): A path or an open text file.

Returns:
    numpy.ndarray: The symmetrised 6×6 tensor, GPa.

Raises:
    ValueError: The file is none of the layouts (naming the file and, where
        there is one, the line), an OUTCAR has no tensor block, or C_ij and
        C_ji differ by more than 1 % of the largest entry.
    OSError: The file cannot be opened.)doc");

    m.def("tensor_moduli", &tensor_moduli, "cij"_a,
          R"doc(Moduli, stability and anisotropy of an elastic tensor.

Args:
    cij (array-like): 6×6 tensor in GPa, Voigt order xx, yy, zz, yz, xz, xy.

Returns:
    TensorModuli: ``cij`` (symmetrised), the Voigt, Reuss and Hill bulk and
    shear moduli, ``young`` and ``poisson`` from the Hill averages (as
    ``elastic_tensor`` gives them), ``stable`` (Born stability: the tensor
    is positive definite, which the criteria of every crystal system amount
    to), ``zener`` (2 C44 / (C11 − C12) for a cubic tensor, NaN otherwise)
    and ``universal_anisotropy`` (5 G_V/G_R + B_V/B_R − 6, 0 when isotropic).

A tensor that is not positive definite is a result (``stable`` False), not
an error; a singular one gives NaN Reuss and Hill values.

Raises:
    ValueError: Not a 6×6 matrix of finite numbers, or not symmetric.)doc");
}
