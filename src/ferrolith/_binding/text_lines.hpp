// Text files of the structure formats. For the readers: the lines of an open
// text file, the Python str of each line as the file object delivered it and a
// UTF-8 view of it for the kernels. For the writers: writing a path so that a
// failure never destroys the file that was there.
#pragma once

#include <pybind11/pybind11.h>

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolith::binding {

namespace py = pybind11;

/// All lines of a file read with `fd.readlines()`, terminators included.
class TextLines {
public:
    /// Reads every line of the open file `fd`. Raises TypeError when a line is
    /// not a str (a file opened in binary mode).
    explicit TextLines(py::handle fd);

    /// The lines as Python str objects (a list of our own).
    const py::list& objects() const { return objects_; }
    /// UTF-8 views of the lines, valid as long as this object lives. Lone
    /// surrogates (from errors="surrogateescape" files) are encoded as
    /// "surrogatepass" does, so no character is lost.
    const std::vector<std::string_view>& views() const { return views_; }

private:
    py::list objects_;
    std::vector<std::string_view> views_;
    std::deque<std::string> encoded_; // lines that had no plain UTF-8 form
};

/// float(text) exactly as Python computes it (python_float), refusing NaN and
/// the infinities, which no structure file means: ValueError
/// "<message> '<text>'" (the text as Python's repr shows it).
double finite_python_float(std::string_view text, const char* message);

/// Raises ValueError "<where>: the space-group number <n> is not between 1
/// and 230." unless the Python int `number` is one of the 230 space groups.
void require_space_group_number(py::handle number, const std::string& where);

/// Raises ValueError "<where>: the fractional coordinate '<text>' is beyond
/// +-1e6, which places no atom in the cell." for a coordinate `value` (read
/// from `text`) of absurd magnitude (io::kMaxFractionalCoordinate): wrapped
/// into the cell it keeps no digit of its fractional part.
void require_fractional_coordinate(double value, std::string_view text, const std::string& where);

/// Raises ValueError "<where>: the cell volume is infinite." when the cell of
/// the ASE Atoms `atoms` spans a volume beyond the doubles (1e200 Å edges),
/// which no crystal has.
void require_finite_cell_volume(py::handle atoms, const std::string& where);

/// The Python str of a UTF-8 piece of a line from TextLines (lone surrogates
/// restored).
py::str str_from_utf8(std::string_view text);

/// The structure that `build` returns (an ASE Atoms), made while numpy's
/// overflow and invalid-value warnings are off: a file's numbers that are
/// finite but too large give non-finite positions, which are then refused
/// here with ValueError `message` (require_finite_structure's check in the
/// reader's words) instead of a stray RuntimeWarning.
py::object build_finite_structure(const std::function<py::object()>& build, const char* message);

} // namespace ferrolith::binding
