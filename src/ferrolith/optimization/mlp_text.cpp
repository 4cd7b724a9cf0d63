#include "ferrolith/optimization/mlp_text.hpp"

#include <charconv>
#include <cstddef>
#include <string_view>
#include <system_error>
#include <utility>

namespace ferrolith::optimization {

namespace {

// --- writing ----------------------------------------------------------------

void put_number(std::string& out, double x) {
    char buffer[32];
    // shortest text that reads back to x, independent of the C locale
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, x);
    out.append(buffer, result.ptr);
}

void put_record(std::string& out, const char* keyword, const double* values, std::size_t n) {
    out += keyword;
    for (std::size_t k = 0; k < n; ++k) {
        out += ' ';
        put_number(out, values[k]);
    }
    out += '\n';
}

void put_record(std::string& out, const char* keyword, const std::vector<double>& values) {
    put_record(out, keyword, values.data(), values.size());
}

void put_record(std::string& out, const char* keyword, double value) {
    put_record(out, keyword, &value, 1);
}

// --- reading ----------------------------------------------------------------

using Tokens = std::vector<std::string_view>;

/// The records of a text: non-blank lines without comments, split at blanks.
struct Record {
    std::size_t line;
    Tokens tokens;
};

std::vector<Record> records_of(const std::string& text) {
    std::vector<Record> out;
    std::size_t line = 0, start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++line;
        std::string_view row(text.data() + start, end - start);
        row = row.substr(0, row.find('#'));
        Tokens tokens;
        std::size_t k = 0;
        while (k < row.size()) {
            while (k < row.size() && (row[k] == ' ' || row[k] == '\t' || row[k] == '\r'))
                ++k;
            const std::size_t first = k;
            while (k < row.size() && row[k] != ' ' && row[k] != '\t' && row[k] != '\r')
                ++k;
            if (k > first)
                tokens.push_back(row.substr(first, k - first));
        }
        if (!tokens.empty())
            out.push_back({line, std::move(tokens)});
        start = end + 1;
    }
    return out;
}

/// Reads records in order; every accessor fails with the line it stopped at.
class Reader {
public:
    explicit Reader(const std::string& text) : records_(records_of(text)) {}

    /// The values of the next record, which must start with `keyword`.
    core::Outcome<Tokens> next(std::string_view keyword) {
        if (at_ >= records_.size())
            return core::Outcome<Tokens>::fail(
                "the parameter file ends before '" + std::string(keyword) + "'", last_line());
        const Record& r = records_[at_];
        if (r.tokens[0] != keyword)
            return core::Outcome<Tokens>::fail("expected '" + std::string(keyword) + "', found '" +
                                                   std::string(r.tokens[0]) + "'",
                                               r.line);
        ++at_;
        return core::Outcome<Tokens>::ok(Tokens(r.tokens.begin() + 1, r.tokens.end()));
    }

    /// The numbers of the next record `keyword`; exactly `count` unless 0.
    core::Outcome<std::vector<double>> numbers(std::string_view keyword, std::size_t count = 0) {
        using Result = core::Outcome<std::vector<double>>;
        auto tokens = next(keyword);
        if (!tokens)
            return tokens.forward_error<std::vector<double>>();
        const std::size_t line = records_[at_ - 1].line;
        if (count != 0 && tokens.value->size() != count)
            return Result::fail("'" + std::string(keyword) + "' needs " + std::to_string(count) +
                                    " numbers, not " + std::to_string(tokens.value->size()),
                                line);
        std::vector<double> out;
        for (std::string_view t : *tokens.value) {
            double x = 0.0;
            const auto result = std::from_chars(t.data(), t.data() + t.size(), x);
            if (result.ec != std::errc() || result.ptr != t.data() + t.size())
                return Result::fail("'" + std::string(t) + "' is not a number", line);
            out.push_back(x);
        }
        return Result::ok(std::move(out));
    }

    /// One number of the next record `keyword`.
    core::Outcome<double> number(std::string_view keyword) {
        auto values = numbers(keyword, 1);
        if (!values)
            return values.forward_error<double>();
        return core::Outcome<double>::ok((*values.value)[0]);
    }

    /// One non-negative integer of the next record `keyword`, at most `most`.
    /// Whether the next record `keyword` says "all" rather than "diagonal".
    core::Outcome<bool> all_channels(std::string_view keyword) {
        const std::size_t at = line();
        auto tokens = next(keyword);
        if (!tokens)
            return tokens.forward_error<bool>();
        const Tokens& t = *tokens.value;
        if (t.size() != 1 || (t[0] != "all" && t[0] != "diagonal"))
            return core::Outcome<bool>::fail(
                "'" + std::string(keyword) + "' must be 'diagonal' or 'all'", at);
        return core::Outcome<bool>::ok(t[0] == "all");
    }

    core::Outcome<int> integer(std::string_view keyword, int most) {
        auto value = number(keyword);
        if (!value)
            return value.forward_error<int>();
        const double x = *value.value;
        if (!(x >= 0.0 && x <= most) || x != static_cast<int>(x))
            return core::Outcome<int>::fail("'" + std::string(keyword) +
                                                "' must be an integer from 0 to " +
                                                std::to_string(most),
                                            records_[at_ - 1].line);
        return core::Outcome<int>::ok(static_cast<int>(x));
    }

    std::size_t last_line() const { return records_.empty() ? 1 : records_.back().line; }
    bool done() const { return at_ >= records_.size(); }
    std::size_t line() const { return at_ < records_.size() ? records_[at_].line : last_line(); }

private:
    std::vector<Record> records_;
    std::size_t at_ = 0;
};

// Sizes beyond any model we train; they bound what a corrupt file can allocate.
constexpr int kMaxLayers = 64;
constexpr int kMaxWidth = 1 << 16;

/// Reads `into` or returns the failure from the enclosing parser.
#define FERROLITH_READ(into, expr)                                                                 \
    do {                                                                                           \
        auto read_ = (expr);                                                                       \
        if (!read_)                                                                                \
            return read_.template forward_error<NamedModel>();                                     \
        (into) = std::move(*read_.value);                                                          \
    } while (false)

} // namespace

std::string format_model_text(const NamedModel& model) {
    const ModelParams& p = model.params;
    const DescriptorParams& d = p.descriptor;
    std::string out = "# machine-learned potential of ferrolith: descriptor and one network per "
                      "element\n";
    // version 2 adds the four-body records; files without them stay version 1
    const int version = d.four_body_orders.empty() ? 1 : kParameterVersion;
    out += std::string(kParameterFormat) + ' ' + std::to_string(version) + '\n';
    out += "elements";
    for (const auto& e : model.elements)
        out += ' ' + e;
    out += '\n';
    out +=
        std::string("activation ") + (p.activation == Activation::kTanh ? "tanh" : "silu") + '\n';
    put_record(out, "energy_scale", p.energy_scale);
    put_record(out, "radial_cutoff", d.radial_cutoff);
    put_record(out, "radial_centers", d.radial_centers);
    put_record(out, "radial_eta", d.radial_eta);
    put_record(out, "angular_cutoff", d.angular_cutoff);
    put_record(out, "angular_centers", d.angular_centers);
    put_record(out, "angular_eta", d.angular_eta);
    put_record(out, "max_order", d.max_order);
    out += std::string("angular_channels ") + (d.cross_channels ? "all" : "diagonal") + '\n';
    if (!d.four_body_orders.empty()) {
        std::vector<double> orders, mixtures;
        for (const auto& o : d.four_body_orders)
            orders.insert(orders.end(), o.begin(), o.end());
        for (const auto& row : d.four_body_mixtures)
            mixtures.insert(mixtures.end(), row.begin(), row.end());
        put_record(out, "four_body_orders", orders);
        put_record(out, "four_body_mixtures", mixtures);
        out += std::string("four_body_channels ") + (d.four_body_cross ? "all" : "diagonal") + '\n';
    }
    for (std::size_t e = 0; e < p.networks.size(); ++e) {
        const SpeciesNetwork& net = p.networks[e];
        out += "network " + model.elements[e] + '\n';
        put_record(out, "energy_shift", net.energy_shift);
        put_record(out, "input_mean", net.input_mean);
        put_record(out, "input_scale", net.input_scale);
        put_record(out, "layers", static_cast<double>(net.layers.size()));
        for (const DenseLayer& layer : net.layers) {
            out += "layer " + std::to_string(layer.n_out) + ' ' + std::to_string(layer.n_in) + '\n';
            // one row of W (n_out × n_in) per line
            for (int o = 0; o < layer.n_out; ++o)
                put_record(out, "w", &layer.weight[static_cast<std::size_t>(o) * layer.n_in],
                           layer.n_in);
            put_record(out, "b", layer.bias);
        }
    }
    return out;
}

core::Outcome<NamedModel> parse_model_text(const std::string& text) {
    using Result = core::Outcome<NamedModel>;
    Reader in(text);
    Tokens tokens;
    FERROLITH_READ(tokens, in.next(kParameterFormat));
    if (tokens.size() != 1 || (tokens[0] != "1" && tokens[0] != "2"))
        return Result::fail(
            "this parameter file is not of version 1 or " + std::to_string(kParameterVersion), 1);
    const bool four_body = tokens[0] == "2";
    NamedModel model;
    FERROLITH_READ(tokens, in.next("elements"));
    if (tokens.empty())
        return Result::fail("'elements' names no element", in.line());
    for (std::string_view t : tokens)
        model.elements.emplace_back(t);
    ModelParams& p = model.params;
    const std::size_t activation_line = in.line();
    FERROLITH_READ(tokens, in.next("activation"));
    if (tokens.size() != 1 || (tokens[0] != "tanh" && tokens[0] != "silu"))
        return Result::fail("'activation' must be 'tanh' or 'silu'", activation_line);
    p.activation = tokens[0] == "tanh" ? Activation::kTanh : Activation::kSilu;
    FERROLITH_READ(p.energy_scale, in.number("energy_scale"));
    DescriptorParams& d = p.descriptor;
    d.n_species = static_cast<int>(model.elements.size());
    FERROLITH_READ(d.radial_cutoff, in.number("radial_cutoff"));
    FERROLITH_READ(d.radial_centers, in.numbers("radial_centers"));
    FERROLITH_READ(d.radial_eta, in.numbers("radial_eta"));
    FERROLITH_READ(d.angular_cutoff, in.number("angular_cutoff"));
    FERROLITH_READ(d.angular_centers, in.numbers("angular_centers"));
    FERROLITH_READ(d.angular_eta, in.numbers("angular_eta"));
    FERROLITH_READ(d.max_order, in.integer("max_order", 8));
    FERROLITH_READ(d.cross_channels, in.all_channels("angular_channels"));
    if (four_body) {
        std::vector<double> orders, mixtures;
        const std::size_t orders_line = in.line();
        FERROLITH_READ(orders, in.numbers("four_body_orders"));
        if (orders.empty() || orders.size() % 3 != 0 || orders.size() > 3 * 32)
            return Result::fail("'four_body_orders' needs 1 to 32 triples of orders", orders_line);
        for (std::size_t k = 0; k < orders.size(); k += 3) {
            std::array<int, 3> o{};
            for (int c = 0; c < 3; ++c) {
                if (!(orders[k + c] >= 0.0 && orders[k + c] <= 8.0) ||
                    orders[k + c] != static_cast<int>(orders[k + c]))
                    return Result::fail("'four_body_orders' must be integers from 1 to 8",
                                        orders_line);
                o[c] = static_cast<int>(orders[k + c]);
            }
            d.four_body_orders.push_back(o);
        }
        const std::size_t mixtures_line = in.line();
        FERROLITH_READ(mixtures, in.numbers("four_body_mixtures"));
        const std::size_t ns = model.elements.size();
        if (mixtures.empty() || mixtures.size() % ns != 0)
            return Result::fail("'four_body_mixtures' needs rows of one weight per element",
                                mixtures_line);
        for (std::size_t k = 0; k < mixtures.size(); k += ns)
            d.four_body_mixtures.emplace_back(mixtures.begin() + k, mixtures.begin() + k + ns);
        FERROLITH_READ(d.four_body_cross, in.all_channels("four_body_channels"));
    }
    if (core::Status status = validate_descriptor(d); !status)
        return Result::fail("invalid descriptor: " + status.error);
    for (const std::string& element : model.elements) {
        const std::size_t network_line = in.line();
        FERROLITH_READ(tokens, in.next("network"));
        if (tokens.size() != 1 || tokens[0] != element)
            return Result::fail("expected the network of " + element, network_line);
        SpeciesNetwork net;
        FERROLITH_READ(net.energy_shift, in.number("energy_shift"));
        FERROLITH_READ(net.input_mean, in.numbers("input_mean"));
        FERROLITH_READ(net.input_scale, in.numbers("input_scale"));
        int depth = 0;
        FERROLITH_READ(depth, in.integer("layers", kMaxLayers));
        for (int l = 0; l < depth; ++l) {
            const std::size_t layer_line = in.line();
            FERROLITH_READ(tokens, in.next("layer"));
            DenseLayer layer;
            if (tokens.size() != 2)
                return Result::fail("'layer' needs its numbers of outputs and inputs", layer_line);
            for (int k = 0; k < 2; ++k) {
                int value = 0;
                const auto result =
                    std::from_chars(tokens[k].data(), tokens[k].data() + tokens[k].size(), value);
                if (result.ec != std::errc() || result.ptr != tokens[k].data() + tokens[k].size() ||
                    value < 1 || value > kMaxWidth)
                    return Result::fail("'layer' sizes must be integers from 1 to " +
                                            std::to_string(kMaxWidth),
                                        layer_line);
                (k == 0 ? layer.n_out : layer.n_in) = value;
            }
            for (int o = 0; o < layer.n_out; ++o) {
                std::vector<double> row;
                FERROLITH_READ(row, in.numbers("w", static_cast<std::size_t>(layer.n_in)));
                layer.weight.insert(layer.weight.end(), row.begin(), row.end());
            }
            FERROLITH_READ(layer.bias, in.numbers("b", static_cast<std::size_t>(layer.n_out)));
            net.layers.push_back(std::move(layer));
        }
        p.networks.push_back(std::move(net));
    }
    if (!in.done())
        return Result::fail("unexpected text after the last network", in.line());
    if (core::Status status = validate_model(p); !status)
        return Result::fail("invalid model: " + status.error);
    return Result::ok(std::move(model));
}

#undef FERROLITH_READ

} // namespace ferrolith::optimization
