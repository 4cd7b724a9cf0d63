// The polycrystal parameter file: reading its keyword lines and writing the
// file that repeats a generation (box and one node line per grain).
//
// A line is stripped; an empty line or one starting with "#" is skipped; the
// others are split at runs of white space, the first token (any case) being
// the keyword:
//   box x y z        the lengths, as many as given (up to three); the last line wins
//   random n         number of grains; the last line wins
//   lattice name     lattice name, lower-cased, not checked here
//   node x y z ...   a grain record: up to three coordinates, then orientation tokens
//   twin L [S]       twinned grains: mean twin spacing (Å) and relative spread
//   twin_plane H K L, twin_operation NAME, twin_seed N   the rest of the twin set-up
// Any other keyword is listed in `unknown` and otherwise ignored. A UTF-8
// byte-order mark before the first line is skipped. Numbers follow Python's float() and int()
// (ASCII digits, "_" between digits, inf and nan spelled out).
#pragma once

#include "ferrolith/build/vec3.hpp"
#include "ferrolith/core/outcome.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ferrolith::build {

/// One `node` line: the position tokens as numbers (up to three) and the
/// orientation tokens as written.
struct NodeRecord {
    std::vector<double> pos;
    std::vector<std::string> orient;
};

/// What a parameter file sets; a key absent from the file stays empty.
struct ParamFile {
    std::optional<std::vector<double>> box;
    std::optional<long long> random;
    std::optional<std::string> lattice;
    std::optional<std::vector<NodeRecord>> node;
    /// `twin L [S]`: mean twin spacing (Å) and relative spread.
    std::optional<std::vector<double>> twin;
    std::optional<std::vector<double>> twin_plane; ///< `twin_plane H K L`
    std::optional<std::string> twin_operation;     ///< `twin_operation NAME`, lower-cased
    std::optional<long long> twin_seed;            ///< `twin_seed N`
    /// The keys present, in the order of their first line ("box", "random",
    /// "lattice", "node", "twin" for any of the twin keywords).
    std::vector<std::string> order;
    /// Lines whose keyword is none of the above: (1-based line, keyword as written).
    std::vector<std::pair<std::size_t, std::string>> unknown;
};

/// Why a line could not be read. A missing value stands apart because the
/// Python side raises IndexError for it (the exception of indexing past the
/// tokens), where a number that does not convert raises ValueError.
enum class ParamFault { kNone, kBadNumber, kMissingValue };

/// Reads the text of a parameter file (lines separated by "\n", UTF-8). On
/// failure the outcome carries the 1-based line and a message such as
/// "box: could not convert string to float: 'x'"; `fault`, when given, tells
/// which kind of failure it was.
core::Outcome<ParamFile> parse_param_file(std::string_view text, ParamFault* fault = nullptr);

/// A grain of a generated polycrystal as a node line gives it back.
struct NodeLine {
    Vec3 position{}; ///< Å
    Vec3 angles{};   ///< degrees about x, then y, then z
};

/// The parameter file that builds the given grains again: a comment header,
/// the box line and one node line per grain. Numbers are written in the
/// shortest form that reads back to the same double.
std::string format_param_file(const Vec3& box, const std::vector<NodeLine>& grains);

/// The shortest text of `x` that reads back to the same double, spelled as
/// Python's repr() spells it ("10.0", "0.1", "1e-05", "1e+16", "inf", "nan").
std::string shortest_float_text(double x);

/// Python's float() of one token without surrounding blanks; empty when the
/// token is not a number in that grammar.
std::optional<double> parse_python_float(std::string_view token);

/// Python's int() (base 10) of one token; empty when the token is not an
/// integer in that grammar or does not fit in a long long.
std::optional<long long> parse_python_int(std::string_view token);

} // namespace ferrolith::build
