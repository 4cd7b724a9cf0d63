#include "ferrolith/optimization/tersoff_params.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <utility>

namespace ferrolith::optimization {

namespace {

constexpr std::size_t kWordsPerEntry = 17;
constexpr const char* kNumberNames[14] = {"m",    "gamma",   "lambda3", "c", "d", "costheta0", "n",
                                          "beta", "lambda2", "B",       "R", "D", "lambda1",   "A"};

// The members that words 3..16 fill (m, an integer, is set apart).
constexpr double TersoffEntry::* kFields[14] = {nullptr,
                                                &TersoffEntry::gamma,
                                                &TersoffEntry::lambda3,
                                                &TersoffEntry::c,
                                                &TersoffEntry::d,
                                                &TersoffEntry::h,
                                                &TersoffEntry::n,
                                                &TersoffEntry::beta,
                                                &TersoffEntry::lambda2,
                                                &TersoffEntry::B,
                                                &TersoffEntry::R,
                                                &TersoffEntry::D,
                                                &TersoffEntry::lambda1,
                                                &TersoffEntry::A};

struct Word {
    std::string_view text;
    std::size_t line;
};

// A finite number written in full, as C's strtod reads it (an optional sign,
// digits, point, exponent); nothing may follow it.
std::optional<double> to_number(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    double value = 0;
    const char* end = text.data() + text.size();
    // `end` bounds the view, so data() without a terminator is safe here.
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage)
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// A byte count as "2.9 GB".
std::string gigabytes(double bytes) {
    const double tenths = std::round(bytes / 1e8);
    return std::to_string(static_cast<long long>(tenths) / 10) + "." +
           std::to_string(static_cast<long long>(tenths) % 10) + " GB";
}

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// A parse failure at a 1-based line.
struct ParseError {
    std::size_t line = 0;
    std::string message;
};

// Fills the numbers of `entry` from words 3..16, checking each value's range.
bool read_numbers(const std::vector<Word>& words, TersoffEntry& entry, ParseError& error) {
    double v[14];
    for (std::size_t k = 0; k < 14; ++k) {
        const Word& w = words[3 + k];
        const auto value = to_number(w.text);
        if (!value) {
            error = {w.line, "value " + quoted(w.text) + " of parameter " + kNumberNames[k] +
                                 " is not a finite number"};
            return false;
        }
        v[k] = *value;
    }
    auto fail = [&](std::size_t k, const std::string& rule) {
        error = {words[3 + k].line, "parameter " + std::string(kNumberNames[k]) + " = " +
                                        std::string(words[3 + k].text) + " " + rule};
        return false;
    };
    if (v[0] != 1.0 && v[0] != 3.0) {
        return fail(0, "must be 1 or 3");
    }
    const std::size_t non_negative[] = {1, 3, 7, 8, 9, 12, 13}; // gamma c beta lambda2 B lambda1 A
    for (std::size_t k : non_negative) {
        if (v[k] < 0) {
            return fail(k, "must not be negative");
        }
    }
    const std::size_t positive[] = {4, 6, 10, 11}; // d n R D
    for (std::size_t k : positive) {
        if (v[k] <= 0) {
            return fail(k, "must be positive");
        }
    }
    if (v[11] > v[10]) {
        return fail(11, "must not exceed R = " + std::string(words[3 + 10].text));
    }
    if (!(v[10] + v[11] <= kMaxTersoffCutoff)) {
        // Beyond any bond length; such a cutoff would only make the neighbour
        // search of a dense structure run out of memory.
        return fail(10, "with D = " + std::string(words[3 + 11].text) +
                            " gives a cutoff R + D beyond " +
                            std::to_string(static_cast<int>(kMaxTersoffCutoff)) +
                            " \u00c5, which is not physical");
    }
    entry.m = static_cast<int>(v[0]);
    for (std::size_t k = 1; k < 14; ++k) {
        entry.*kFields[k] = v[k];
    }
    entry.cut = entry.R + entry.D;
    entry.c2 = entry.c * entry.c;
    entry.d2 = entry.d * entry.d;
    entry.c2_over_d2 = entry.c2 / entry.d2;
    return true;
}

} // namespace

int TersoffParameters::element_index(std::string_view name) const {
    for (std::size_t k = 0; k < elements_.size(); ++k) {
        if (elements_[k] == name) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

core::Outcome<TersoffParameters> TersoffParameters::parse(std::string_view text) {
    ParseError error;
    auto failed = [&error]() {
        return core::Outcome<TersoffParameters>::fail(error.message, error.line);
    };
    TersoffParameters p;
    std::vector<Word> words;
    std::size_t line_no = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        line = line.substr(0, std::min(line.find('#'), line.size()));

        std::size_t i = 0;
        bool any = false;
        while (i < line.size()) {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) {
                ++i;
            }
            std::size_t j = i;
            while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j]))) {
                ++j;
            }
            if (j > i) {
                words.push_back({line.substr(i, j - i), line_no});
                any = true;
            }
            i = j;
        }
        if (!any || words.size() < kWordsPerEntry) {
            continue;
        }
        if (words.size() > kWordsPerEntry) {
            error = {line_no, "the entry starting on line " + std::to_string(words.front().line) +
                                  " has " + std::to_string(words.size()) +
                                  " words; an entry has 17 (three element names and 14 "
                                  "numbers) and ends at the end of a line"};
            return failed();
        }

        TersoffEntry entry;
        entry.line = words.front().line;
        for (std::size_t k = 0; k < 3; ++k) {
            int index = p.element_index(words[k].text);
            if (index < 0) {
                index = static_cast<int>(p.elements_.size());
                p.elements_.emplace_back(words[k].text);
            }
            entry.elements[k] = index;
        }
        if (!read_numbers(words, entry, error)) {
            return failed();
        }
        p.entries_.push_back(entry);
        words.clear();
    }
    if (!words.empty()) {
        error = {words.front().line, "the entry starting on line " +
                                         std::to_string(words.front().line) + " ends after " +
                                         std::to_string(words.size()) +
                                         " words; an entry has 17 (three element names and 14 "
                                         "numbers)"};
        return failed();
    }
    if (p.entries_.empty()) {
        error = {line_no, "the file has no Tersoff entries"};
        return failed();
    }

    const std::size_t n = p.elements_.size();
    if (n > kMaxTersoffElements) {
        // The triplet table grows as n^3; estimated before it is allocated.
        const double triplets = std::pow(static_cast<double>(n), 3);
        std::size_t line = 0;
        for (const TersoffEntry& e : p.entries_) {
            if (*std::max_element(e.elements.begin(), e.elements.end()) >=
                static_cast<int>(kMaxTersoffElements)) {
                line = e.line;
                break;
            }
        }
        error = {line, "the file names " + std::to_string(n) + " element types; their table of " +
                           std::to_string(n) +
                           "^3 = " + std::to_string(static_cast<unsigned long long>(triplets)) +
                           " triplets would take " + gigabytes(triplets * sizeof(int)) +
                           ", beyond the " + std::to_string(kMaxTersoffElements) +
                           " element types a Tersoff file may name (the entry on this line "
                           "names the first type beyond them)"};
        return failed();
    }
    p.table_.assign(n * n * n, -1);
    for (std::size_t e = 0; e < p.entries_.size(); ++e) {
        const auto& [a, b, c] = p.entries_[e].elements;
        int& slot = p.table_[(static_cast<std::size_t>(a) * n + static_cast<std::size_t>(b)) * n +
                             static_cast<std::size_t>(c)];
        if (slot >= 0) {
            const TersoffEntry& first = p.entries_[static_cast<std::size_t>(slot)];
            error = {p.entries_[e].line, "duplicate entry for " + p.elements_[a] + " " +
                                             p.elements_[b] + " " + p.elements_[c] +
                                             " (first given on line " + std::to_string(first.line) +
                                             ")"};
            return failed();
        }
        slot = static_cast<int>(e);
    }
    return core::Outcome<TersoffParameters>::ok(std::move(p));
}

std::optional<std::array<int, 3>>
TersoffParameters::missing_triplet(const std::vector<int>& present) const {
    for (int i : present) {
        for (int j : present) {
            for (int k : present) {
                if (entry_index(i, j, k) < 0) {
                    return std::array<int, 3>{i, j, k};
                }
            }
        }
    }
    return std::nullopt;
}

double TersoffParameters::max_cutoff() const {
    double cut = 0;
    for (const TersoffEntry& e : entries_) {
        cut = std::max(cut, e.cut);
    }
    return cut;
}

} // namespace ferrolith::optimization
