// Kernel tests: field splitting and number formatting with Python's rules, the
// VESTA block layout and the BCS data lines, orbits and text.
#include "check.hpp"

#include "ferrolith/io/bcs_format.hpp"
#include "ferrolith/io/cell_parameters.hpp"
#include "ferrolith/io/text_fields.hpp"
#include "ferrolith/io/vesta_format.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fio = ferrolith::io;

namespace {

using Views = std::vector<std::string_view>;

Views views_of(const std::vector<std::string>& lines) {
    return {lines.begin(), lines.end()};
}

bool fields_are(std::string_view line, const Views& expected) {
    return fio::split_fields(line) == expected;
}

} // namespace

// ---------------------------------------------------------------------------
// Whitespace, fields, stripping
// ---------------------------------------------------------------------------

TEST_CASE("every character Python calls whitespace is whitespace, in UTF-8") {
    // [hex(c) for c in range(0x110000) if chr(c).isspace()] on CPython 3.11
    const char* spaces[] = {
        "\t",           "\n",           "\x0b",         "\x0c",         "\r",
        "\x1c",         "\x1d",         "\x1e",         "\x1f",         " ",
        "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x85",
        "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
        "\xe3\x80\x80"};
    for (const char* s : spaces) {
        const std::string_view text(s);
        CHECK_EQ(fio::whitespace_length(text, 0), text.size());
    }
}

TEST_CASE("look-alikes of whitespace are not whitespace") {
    const std::string_view others[] = {std::string_view("\0x", 2),
                                       "\x1b",
                                       "\x7f",
                                       "a",
                                       "\xc2\x84",
                                       "\xc2\xa1",
                                       "\xe2\x80\x8b", // zero width space
                                       "\xe1\xa0\x8e", // U+180E, whitespace before Unicode 6.3
                                       "\xef\xbb\xbf", // byte order mark
                                       "\xe2\x80\xab",
                                       "\xe3\x80\x81",
                                       "\xc3\x85"};
    for (std::string_view s : others) {
        CHECK_EQ(fio::whitespace_length(s, 0), 0u);
    }
    // A multi-byte space cut short at the end of the text is no space.
    CHECK_EQ(fio::whitespace_length(std::string_view("\xe2\x80", 2), 0), 0u);
    CHECK_EQ(fio::whitespace_length("", 0), 0u);
}

TEST_CASE("fields split as str.split() splits them") {
    CHECK(fields_are("  1  B   B1  1.0000\n", {"1", "B", "B1", "1.0000"}));
    CHECK(fields_are("a\x1c"
                     "b\x0c"
                     "c\xc2\xa0"
                     "d\xe3\x80\x80"
                     "e",
                     {"a", "b", "c", "d", "e"}));
    CHECK(fields_are("", {}));
    CHECK(fields_are(" \t\r\n", {}));
    // Non-ASCII fields stay whole; NUL is an ordinary character.
    CHECK(fields_are("\xc3\x85ngstr\xc3\xb6m x", {"\xc3\x85ngstr\xc3\xb6m", "x"}));
    CHECK(fields_are(std::string_view("a\0b c", 5), {std::string_view("a\0b", 3), "c"}));
    // A zero width space joins rather than separates.
    CHECK(fields_are("1\xe2\x80\x8b"
                     "2 3",
                     {"1\xe2\x80\x8b"
                      "2",
                      "3"}));
}

TEST_CASE("strip removes whitespace at both ends only") {
    CHECK_EQ(fio::strip("  225 \n"), "225");
    CHECK_EQ(fio::strip("\xc2\xa0 5.64 5.64\xe2\x80\xa8"), "5.64 5.64");
    CHECK_EQ(fio::strip(" \t "), "");
    CHECK_EQ(fio::strip("x"), "x");
    CHECK_EQ(fio::strip("\xc3\x85 "), "\xc3\x85");
}

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

TEST_CASE("fixed-point numbers match Python's format(x, '.Nf')") {
    // Expected texts produced by CPython 3.11.
    struct Case {
        double value;
        int decimals;
        const char* text;
    };
    const Case cases[] = {
        {0.125, 2, "0.12"},      // exact tie: to even
        {0.375, 2, "0.38"},      // exact tie: to even
        {2.675, 2, "2.67"},      // just below the tie in binary
        {89.995, 2, "90.00"},    // just above the tie in binary
        {-0.0, 6, "-0.000000"},  // the sign of zero survives
        {-1e-7, 6, "-0.000000"}, // so does that of a value rounded to zero
        {5e-7, 6, "0.000000"},
        {1.5e-6, 6, "0.000002"},
        {1.0 / 3.0, 6, "0.333333"},
        {5.64, 6, "5.640000"},
        {90.0, 2, "90.00"},
        {1e22, 2, "10000000000000000000000.00"},
        {123456789.12345679, 6, "123456789.123457"},
        {5e-324, 6, "0.000000"},
    };
    for (const Case& c : cases) {
        CHECK_EQ(fio::format_fixed(c.value, c.decimals), std::string(c.text));
    }
    CHECK_EQ(fio::format_fixed(1.7976931348623157e308, 0).size(), 309u);
    CHECK_EQ(fio::format_fixed(std::nan(""), 6), "nan");
    CHECK_EQ(fio::format_fixed(-std::nan(""), 6), "nan");
    CHECK_EQ(fio::format_fixed(-HUGE_VAL, 2), "-inf");
    CHECK_EQ(fio::format_fixed(HUGE_VAL, 2), "inf");
}

TEST_CASE("left alignment pads by characters, never truncates") {
    std::string out;
    fio::append_left_aligned(out, "O", 2);
    CHECK_EQ(out, "O ");
    out.clear();
    fio::append_left_aligned(out, "192l", 4);
    CHECK_EQ(out, "192l");
    out.clear();
    fio::append_left_aligned(out, "12345", 2);
    CHECK_EQ(out, "12345");
    out.clear();
    fio::append_left_aligned(out, "\xc3\x85", 2); // one character, two bytes
    CHECK_EQ(out, "\xc3\x85 ");
}

// ---------------------------------------------------------------------------
// VESTA
// ---------------------------------------------------------------------------

TEST_CASE("a block opens at a run of four or more capitals at the line start") {
    CHECK_EQ(fio::vesta_key_length("CELLP\n"), 5u);
    CHECK_EQ(fio::vesta_key_length("TRANM 0\n"), 5u);
    CHECK_EQ(fio::vesta_key_length("LIGHT0 1\n"), 5u);
    CHECK_EQ(fio::vesta_key_length("LTRANSL\n"), 7u);
    CHECK_EQ(fio::vesta_key_length("ABCD"), 4u);
    CHECK_EQ(fio::vesta_key_length("ABC\n"), 0u);
    CHECK_EQ(fio::vesta_key_length(" CELLP\n"), 0u);
    CHECK_EQ(fio::vesta_key_length("cellp\n"), 0u);
    CHECK_EQ(fio::vesta_key_length("#VESTA_FORMAT_VERSION 3.5.4\n"), 0u);
    CHECK_EQ(fio::vesta_key_length("\xc3\x85"
                                   "BCDE\n"),
             0u);
    CHECK_EQ(fio::vesta_key_length(""), 0u);
}

TEST_CASE("lines group into blocks; repeated keys continue their first list") {
    const std::vector<std::string> text = {"#VESTA_FORMAT_VERSION 3.5.4\n",
                                           "\n",
                                           "CRYSTAL\n",
                                           "LIGHT0 1\n",
                                           " 1.0\n",
                                           "LIGHT1\n",
                                           " 2.0\n",
                                           "CELLP\n",
                                           "  1 1 1\n",
                                           "CRYSTAL\n",
                                           "TITLE\n"};
    const fio::VestaBlocks blocks = fio::split_vesta_blocks(views_of(text));
    const std::vector<std::string> keys = {std::string(fio::kVestaInitialBlock), "CRYSTAL", "LIGHT",
                                           "CELLP", "TITLE"};
    CHECK(blocks.keys == keys);
    CHECK((blocks.lines[0] == std::vector<std::size_t>{0, 1}));
    CHECK((blocks.lines[1] == std::vector<std::size_t>{2, 9}));
    CHECK((blocks.lines[2] == std::vector<std::size_t>{3, 4, 5, 6}));
    CHECK((blocks.lines[3] == std::vector<std::size_t>{7, 8}));
    CHECK(blocks.find("CELLP") == std::optional<std::size_t>(3));
    CHECK(!blocks.find("STRUC"));
}

TEST_CASE("a file without keyword lines is one initial block; an empty file too") {
    const std::vector<std::string> text = {"just text\n", "ABC\n"};
    const fio::VestaBlocks blocks = fio::split_vesta_blocks(views_of(text));
    CHECK_EQ(blocks.keys.size(), 1u);
    CHECK_EQ(blocks.lines[0].size(), 2u);
    const fio::VestaBlocks empty = fio::split_vesta_blocks({});
    CHECK_EQ(empty.keys.size(), 1u);
    CHECK(empty.lines[0].empty());
}

TEST_CASE("site lines are the STRUC lines with at least eight fields") {
    const std::vector<std::string> text = {
        "STRUC 1 2 3 4 5 6 7 8\n", // the keyword line itself is never a site
        "  1 Na  Na1 1.0000 0.000000 0.000000 0.000000 4a m-3m\n",
        "                   0.000000 0.000000 0.000000 0.00\n",
        "  2 Cl  Cl1 1.0000 0.500000 0.500000 0.500000 4b\n",
        "  3 K   K1  1.0000 0.1 0.2 0.3\n", // seven fields
        "  0 0 0 0 0 0 0\n"};
    const std::vector<std::size_t> block = {0, 1, 2, 3, 4, 5};
    const auto sites = fio::vesta_site_fields(views_of(text), block);
    CHECK_EQ(sites.size(), 2u);
    CHECK_EQ(sites[0].line, 1u);
    CHECK_EQ(sites[0].symbol, "Na");
    CHECK_EQ(sites[1].symbol, "Cl");
    CHECK_EQ(sites[1].coords[0], "0.500000");
    CHECK_EQ(sites[1].coords[2], "0.500000");
}

TEST_CASE("runs and phases record the file order; a byte order mark hides no keyword") {
    const std::vector<std::string> text = {"\xef\xbb\xbf"
                                           "CRYSTAL\n",
                                           "TITLE\n",
                                           "one\n",
                                           "CELLP\n",
                                           "  1 1 1\n", // phase 1
                                           "CRYSTAL\n",
                                           "TITLE\n",
                                           "two\n",
                                           "CELLP\n",
                                           "LIGHT0\n",
                                           "LIGHT1\n"}; // phase 2
    const fio::VestaBlocks blocks = fio::split_vesta_blocks(views_of(text));
    CHECK_EQ(blocks.keys[1], "CRYSTAL");
    CHECK_EQ(blocks.phases, 2u);
    CHECK_EQ(blocks.first_phase_end, 5u);
    CHECK(!blocks.keys_in_file_order());
    CHECK((blocks.first_phase_lines(*blocks.find("CELLP")) == std::vector<std::size_t>{3, 4}));
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (const fio::VestaRun& run : blocks.runs) {
        runs.emplace_back(run.key, run.count);
    }
    // CRYSTAL TITLE CELLP CRYSTAL TITLE CELLP LIGHT; the empty initial block has no run.
    CHECK((runs == std::vector<std::pair<std::size_t, std::size_t>>{
                       {1, 1}, {2, 2}, {3, 2}, {1, 1}, {2, 2}, {3, 1}, {4, 2}}));
    const fio::VestaBlocks single = fio::split_vesta_blocks(views_of({"CELLP\n", "1\n"}));
    CHECK(single.keys_in_file_order());
    CHECK_EQ(single.phases, 0u);
    CHECK_EQ(single.first_phase_end, 2u);
}

TEST_CASE("the file order applies only while it still describes the blocks") {
    const std::vector<std::pair<std::string, std::size_t>> runs = {
        {"A", 2}, {"B", 1}, {"A", 1}, {"C", 3}};
    const auto order = fio::vesta_file_order({"#", "A", "B", "C"}, {0, 3, 1, 3}, runs);
    CHECK(order.has_value());
    std::vector<std::size_t> pieces;
    for (const fio::VestaSlice& slice : *order.value) {
        pieces.insert(pieces.end(), {slice.key, slice.begin, slice.count});
    }
    CHECK((pieces == std::vector<std::size_t>{1, 0, 2, 2, 0, 1, 1, 2, 1, 3, 0, 3}));
    CHECK(!fio::vesta_file_order({"#", "A", "B", "C"}, {0, 4, 1, 3}, runs)); // a line added
    CHECK(!fio::vesta_file_order({"#", "A", "B", "C"}, {0, 2, 1, 3}, runs)); // a line removed
    CHECK(!fio::vesta_file_order({"#", "A", "C"}, {0, 3, 3}, runs));         // a block removed
    CHECK(!fio::vesta_file_order({"#", "B", "A", "C"}, {0, 1, 3, 3}, runs)); // reordered
    CHECK(!fio::vesta_file_order({"#", "A", "B", "C", "D"}, {0, 3, 1, 3, 1}, runs)); // added
}

TEST_CASE("lattice parameters: impossible angles, zero vectors and flat cells are refused") {
    // The Python tests hold the verdicts against ASE's own; here the shapes.
    const auto check = [](std::vector<double> cellpar) {
        return fio::check_cell_parameters(cellpar, "here", 7);
    };
    // Flat, yet ASE builds it: a cell of zero volume.
    CHECK_EQ(check({5, 5, 5, 60, 60, 120}).error,
             "here: the angles describe a flat cell of zero volume.");
    CHECK_EQ(check({1e-200, 1e-200, 1e-200, 90, 90, 90}).error, "here: the cell volume is zero.");
    CHECK(check({1e-3, 1e-3, 1e-3, 89, 90, 91})); // small, but a cell
    CHECK(check({5, 5, 5, 1, 1, 1.5}));           // needle-like, but a cell
    CHECK(check({-5, 5, 5, 90, 90, 90}));         // a negative length flips a vector
    CHECK(check({5, 5}));                         // left to ASE
    const auto angles = check({5, 5, 5, 10, 10, 170});
    CHECK_EQ(angles.error, "here: the angles alpha, beta and gamma describe no cell.");
    CHECK_EQ(angles.line, 7u);
    CHECK_EQ(check({5, 0, 5, 90, 90, 90}).error, "here: a cell vector has zero length.");
    CHECK(!check({0}));
}

// ---------------------------------------------------------------------------
// BCS
// ---------------------------------------------------------------------------

TEST_CASE("BCS data lines drop comments, blank lines and surrounding blanks") {
    const std::vector<std::string> text = {"# Space Group ITA number\n",
                                           "\n",
                                           "  225   # Fm-3m\n",
                                           "\xc2\xa0\n",
                                           "5.64 5.64 5.64 90 90 90\n",
                                           "#\n",
                                           "2#",
                                           "Na 1 4a 0 0 0"};
    const std::vector<fio::BcsDataLine> data = fio::bcs_data_lines(views_of(text));
    Views texts;
    std::vector<std::size_t> numbers;
    for (const fio::BcsDataLine& line : data) {
        texts.push_back(line.text);
        numbers.push_back(line.line);
    }
    CHECK((texts == Views{"225", "5.64 5.64 5.64 90 90 90", "2", "Na 1 4a 0 0 0"}));
    CHECK((numbers == std::vector<std::size_t>{3, 5, 7, 8}));
}

namespace {
// Rock salt as spglib describes it: the 8-atom conventional cell Na, Cl, Na, ...
// maps onto a 2-atom primitive cell; the standardized cell has 8 atoms.
fio::SymmetryMapping rock_salt_conventional() {
    return {{0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1}};
}
} // namespace

TEST_CASE("orbits of the conventional rock salt cell are 4a and 4b") {
    const auto orbits = fio::bcs_orbits(rock_salt_conventional());
    CHECK(orbits.has_value());
    CHECK_EQ(orbits.value->size(), 2u);
    CHECK_EQ((*orbits.value)[0].first_atom, 0u);
    CHECK_EQ((*orbits.value)[0].multiplicity, 4);
    CHECK_EQ((*orbits.value)[1].first_atom, 1u);
    CHECK_EQ((*orbits.value)[1].multiplicity, 4);
    CHECK_EQ((*orbits.value)[1].std_atom, 1u);
}

TEST_CASE("a primitive cell gets the multiplicities of the conventional cell") {
    // Primitive rock salt: 2 atoms, 8 in the standardized cell.
    fio::SymmetryMapping primitive{{0, 1}, {0, 1}, {0, 1, 0, 1, 0, 1, 0, 1}};
    const auto orbits = fio::bcs_orbits(primitive);
    CHECK(orbits.has_value());
    CHECK_EQ(orbits.value->size(), 2u);
    CHECK_EQ((*orbits.value)[0].multiplicity, 4);
    CHECK_EQ((*orbits.value)[1].multiplicity, 4);
}

TEST_CASE("a cell that is no whole multiple of the conventional cell keeps true labels") {
    // Six primitive fcc cells (6 atoms) against a 4-atom conventional cell:
    // the orbit has 6 atoms in the structure but multiplicity 4.
    fio::SymmetryMapping six{{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0}};
    const auto orbits = fio::bcs_orbits(six);
    CHECK_EQ(orbits.value->size(), 1u);
    CHECK_EQ((*orbits.value)[0].multiplicity, 4);
}

TEST_CASE("orbits come in ascending order of their representative") {
    // Representatives 5 and 2: the orbit of 2 comes first, its first atom is 1.
    fio::SymmetryMapping mapping{{5, 2, 5, 2}, {0, 1, 0, 1}, {1, 0}};
    const auto orbits = fio::bcs_orbits(mapping);
    CHECK(orbits.has_value());
    CHECK_EQ((*orbits.value)[0].first_atom, 1u);
    CHECK_EQ((*orbits.value)[0].std_atom, 0u);
    CHECK_EQ((*orbits.value)[1].first_atom, 0u);
    CHECK_EQ((*orbits.value)[1].std_atom, 1u);
}

TEST_CASE("inconsistent symmetry data is reported, not guessed at") {
    fio::SymmetryMapping lengths{{0, 1}, {0}, {0, 1}};
    CHECK(!fio::bcs_orbits(lengths));
    fio::SymmetryMapping no_image{{0, 1}, {0, 1}, {0, 0}};
    CHECK(!fio::bcs_orbits(no_image));
    fio::SymmetryMapping shared{{0, 1}, {0, 0}, {0}};
    CHECK(!fio::bcs_orbits(shared));
    CHECK(fio::bcs_orbits({}).value->empty());
}

TEST_CASE("rock salt is written line by line in the BCS layout") {
    const std::string text =
        fio::format_bcs(225, {5.64, 5.64, 5.64, 90.0, 90.0, 90.0},
                        {{"Na", "4a", {0.0, 0.0, 0.0}}, {"Cl", "4b", {0.5, 0.5, 0.5}}});
    CHECK_EQ(text, "# Space Group ITA number\n"
                   "225\n"
                   "# Lattice parameters (lengths in angstroms and angles in degrees)\n"
                   "5.640000 5.640000 5.640000 90.00 90.00 90.00\n"
                   "# Number of independent atoms in the asymmetric unit\n"
                   "2\n"
                   "# [atom type] [number] [WP] [x] [y] [z]\n"
                   "Na 1  4a   0.000000 0.000000 0.000000\n"
                   "Cl 2  4b   0.500000 0.500000 0.500000\n");
}

TEST_CASE("atom lines pad symbol, number and label to 2, 2 and 4 characters") {
    std::vector<fio::BcsAtomLine> atoms(12, {"H", "1a", {0.0, 0.0, 0.0}});
    atoms[2] = {"O", "8c", {0.25, 0.25, 0.25}};
    atoms[11] = {"Na", "192l", {0.25, -0.0, 1.0 / 3.0}};
    const std::string text = fio::format_bcs(1, {1, 1, 1, 90, 90, 90}, atoms);
    CHECK(text.find("\nO  3  8c   0.250000 0.250000 0.250000\n") != std::string::npos);
    CHECK(text.find("\nNa 12 192l 0.250000 -0.000000 0.333333\n") != std::string::npos);
    CHECK(text.find("\n12\n") != std::string::npos);
    CHECK_EQ(fio::wyckoff_label(192, "l"), "192l");
}
