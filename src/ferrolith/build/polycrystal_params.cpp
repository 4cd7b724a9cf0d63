#include "ferrolith/build/polycrystal_params.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace ferrolith::build {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

// Whether the code point is white space to Python's str.split().
bool is_python_space(std::uint32_t cp) {
    switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x1C:
    case 0x1D:
    case 0x1E:
    case 0x1F:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return cp >= 0x2000 && cp <= 0x200A;
    }
}

// Length in bytes of the white-space character at `pos`, or 0 when the
// character there is not white space. The text is UTF-8.
std::size_t space_at(std::string_view text, std::size_t pos) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (b0 < 0x80) {
        return is_python_space(b0) ? 1 : 0;
    }
    std::size_t length = 0;
    std::uint32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, cp = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, cp = b0 & 0x0Fu;
    } else {
        return 0; // four-byte characters hold no white space
    }
    if (pos + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(text[pos + k]) & 0x3Fu);
    }
    return is_python_space(cp) ? length : 0;
}

// str.split() of one line.
std::vector<std::string_view> split_tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    std::size_t start = std::string_view::npos;
    while (pos < line.size()) {
        const std::size_t space = space_at(line, pos);
        if (space > 0) {
            if (start != std::string_view::npos) {
                tokens.push_back(line.substr(start, pos - start));
                start = std::string_view::npos;
            }
            pos += space;
        } else {
            if (start == std::string_view::npos) {
                start = pos;
            }
            ++pos;
        }
    }
    if (start != std::string_view::npos) {
        tokens.push_back(line.substr(start));
    }
    return tokens;
}

// Python's repr() of a token: quoted, with backslashes and control characters
// escaped.
std::string quoted(std::string_view token) {
    const bool has_single = token.find('\'') != std::string_view::npos;
    const bool has_double = token.find('"') != std::string_view::npos;
    const char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out(1, quote);
    for (char c : token) {
        const auto u = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            static const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 0xF];
        } else {
            out += c;
        }
    }
    return out + quote;
}

// Digits with single underscores between them, from `pos`; returns the
// digits without underscores, or nothing when the grammar breaks.
bool take_digit_part(std::string_view text, std::size_t& pos, std::string& out) {
    if (pos >= text.size() || !is_digit(text[pos])) {
        return false;
    }
    out += text[pos++];
    while (pos < text.size()) {
        if (is_digit(text[pos])) {
            out += text[pos++];
        } else if (text[pos] == '_' && pos + 1 < text.size() && is_digit(text[pos + 1])) {
            out += text[pos + 1];
            pos += 2;
        } else {
            break;
        }
    }
    return true;
}

} // namespace

std::optional<double> parse_python_float(std::string_view token) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) {
        negative = token[pos] == '-';
        ++pos;
    }
    const std::string word = ascii_lower(token.substr(pos));
    if (word == "inf" || word == "infinity") {
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    if (word == "nan") {
        return negative ? -std::nan("") : std::nan("");
    }
    std::string clean = negative ? "-" : "";
    bool digits = take_digit_part(token, pos, clean);
    if (pos < token.size() && token[pos] == '.') {
        clean += token[pos++];
        digits = take_digit_part(token, pos, clean) || digits;
    }
    if (!digits) {
        return std::nullopt;
    }
    if (pos < token.size() && (token[pos] == 'e' || token[pos] == 'E')) {
        clean += token[pos++];
        if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) {
            clean += token[pos++];
        }
        if (!take_digit_part(token, pos, clean)) {
            return std::nullopt;
        }
    }
    if (pos != token.size()) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto r = std::from_chars(clean.data(), clean.data() + clean.size(), value);
    if (r.ec == std::errc::result_out_of_range) {
        // Overflow to infinity and underflow to zero, as Python rounds them.
        value = std::strtod(clean.c_str(), nullptr);
    }
    return value;
}

std::optional<long long> parse_python_int(std::string_view token) {
    std::size_t pos = 0;
    std::string clean;
    if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) {
        if (token[pos] == '-') {
            clean += '-';
        }
        ++pos;
    }
    if (!take_digit_part(token, pos, clean) || pos != token.size()) {
        return std::nullopt;
    }
    long long value = 0;
    const auto r = std::from_chars(clean.data(), clean.data() + clean.size(), value);
    if (r.ec != std::errc() || r.ptr != clean.data() + clean.size()) {
        return std::nullopt;
    }
    return value;
}

core::Outcome<ParamFile> parse_param_file(std::string_view text, ParamFault* fault) {
    ParamFile params;
    auto fail = [&](ParamFault kind, std::string message, std::size_t line) {
        if (fault != nullptr) {
            *fault = kind;
        }
        return core::Outcome<ParamFile>::fail(std::move(message), line);
    };
    auto note = [&](const char* key) {
        for (const std::string& k : params.order) {
            if (k == key) {
                return;
            }
        }
        params.order.emplace_back(key);
    };
    std::size_t line_number = 0;
    std::size_t begin = 0;
    // A byte-order mark, as some editors write, is not part of the first line.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        begin = 3;
    }
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(begin, end - begin);
        begin = end + 1;
        ++line_number;
        const std::vector<std::string_view> tokens = split_tokens(line);
        if (tokens.empty() || tokens[0][0] == '#') {
            continue;
        }
        const std::string keyword = ascii_lower(tokens[0]);
        // The numbers of tokens [first, last) as floats.
        auto floats = [&](std::size_t first, std::size_t last,
                          std::vector<double>& out) -> std::optional<std::string> {
            for (std::size_t k = first; k < std::min(last, tokens.size()); ++k) {
                const std::optional<double> x = parse_python_float(tokens[k]);
                if (!x) {
                    return keyword + ": could not convert string to float: " + quoted(tokens[k]);
                }
                out.push_back(*x);
            }
            return std::nullopt;
        };
        if (keyword == "box") {
            std::vector<double> box;
            if (auto error = floats(1, 4, box)) {
                return fail(ParamFault::kBadNumber, *error, line_number);
            }
            params.box = std::move(box);
            note("box");
        } else if (keyword == "random" || keyword == "lattice") {
            if (tokens.size() < 2) {
                return fail(ParamFault::kMissingValue, keyword + " needs a value", line_number);
            }
            if (keyword == "random") {
                const std::optional<long long> n = parse_python_int(tokens[1]);
                if (!n) {
                    return fail(ParamFault::kBadNumber,
                                "random: invalid literal for int() with base 10: " +
                                    quoted(tokens[1]),
                                line_number);
                }
                params.random = n;
                note("random");
            } else {
                params.lattice = ascii_lower(tokens[1]);
                note("lattice");
            }
        } else if (keyword == "node") {
            NodeRecord record;
            if (auto error = floats(1, 4, record.pos)) {
                return fail(ParamFault::kBadNumber, *error, line_number);
            }
            for (std::size_t k = 4; k < tokens.size(); ++k) {
                record.orient.emplace_back(tokens[k]);
            }
            if (!params.node) {
                params.node.emplace();
            }
            params.node->push_back(std::move(record));
            note("node");
        } else if (keyword == "twin" || keyword == "twin_plane") {
            std::vector<double> values;
            if (auto error = floats(1, keyword == "twin" ? 3 : 4, values)) {
                return fail(ParamFault::kBadNumber, *error, line_number);
            }
            if (values.empty()) {
                return fail(ParamFault::kMissingValue, keyword + " needs a value", line_number);
            }
            (keyword == "twin" ? params.twin : params.twin_plane) = std::move(values);
            note("twin");
        } else if (keyword == "twin_operation") {
            if (tokens.size() < 2) {
                return fail(ParamFault::kMissingValue, keyword + " needs a value", line_number);
            }
            params.twin_operation = ascii_lower(tokens[1]);
            note("twin");
        } else if (keyword == "twin_seed") {
            if (tokens.size() < 2) {
                return fail(ParamFault::kMissingValue, keyword + " needs a value", line_number);
            }
            const std::optional<long long> n = parse_python_int(tokens[1]);
            if (!n) {
                return fail(ParamFault::kBadNumber,
                            "twin_seed: invalid literal for int() with base 10: " +
                                quoted(tokens[1]),
                            line_number);
            }
            params.twin_seed = n;
            note("twin");
        } else {
            params.unknown.push_back({line_number, std::string(tokens[0])});
        }
    }
    if (fault != nullptr) {
        *fault = ParamFault::kNone;
    }
    return core::Outcome<ParamFile>::ok(std::move(params));
}

std::string shortest_float_text(double x) {
    if (std::isnan(x)) {
        return "nan";
    }
    if (std::isinf(x)) {
        return x > 0 ? "inf" : "-inf";
    }
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(r.ptr - buffer));
    std::string out;
    if (text[0] == '-') {
        out = "-";
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') {
            digits += c;
        }
    }
    // to_chars wrote the exponent ("e+05", "e-310"): always a valid integer.
    int exponent = 0;
    std::string_view exponent_text = text.substr(e + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') {
        exponent_text.remove_prefix(1);
    }
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    const int point = exponent + 1; // digits before the decimal point
    const auto n = static_cast<int>(digits.size());
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
        } else if (point >= n) {
            out += digits + std::string(static_cast<std::size_t>(point - n), '0') + ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
                   digits.substr(static_cast<std::size_t>(point));
        }
        return out;
    }
    out += digits.substr(0, 1);
    if (n > 1) {
        out += "." + digits.substr(1);
    }
    const int magnitude = std::abs(exponent);
    out += exponent < 0 ? "e-" : "e+";
    out += (magnitude < 10 ? "0" : "") + std::to_string(magnitude);
    return out;
}

std::string format_param_file(const Vec3& box, const std::vector<NodeLine>& grains) {
    std::string text = "# Grain nodes of a polycrystal: position x y z (Angstrom), then the\n"
                       "# orientation as angles in degrees about x, then y, then z.\n"
                       "# Give this file as the parameter file to build the same structure.\n";
    text += "box " + shortest_float_text(box[0]) + " " + shortest_float_text(box[1]) + " " +
            shortest_float_text(box[2]) + "\n";
    for (const NodeLine& g : grains) {
        text += "node";
        for (double x : g.position) {
            text += " " + shortest_float_text(x);
        }
        for (double a : g.angles) {
            text += " " + shortest_float_text(a);
        }
        text += "\n";
    }
    return text;
}

} // namespace ferrolith::build
