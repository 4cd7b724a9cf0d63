// Kernel tests: the twin builder's search order, deletion lists and stacking.
#include "check.hpp"

#include "ferrolith/build/twin_grains.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace fbuild = ferrolith::build;
using Kind = fbuild::MirrorPlane::Kind;

namespace {
using Call = std::pair<std::size_t, std::size_t>;
// A reflection test that records its calls and accepts the listed pairs.
struct Recorder {
    std::vector<Call> accept;
    std::vector<Call> calls;
    std::vector<double> planes;
    fbuild::ReflectionTest test() {
        return [this](double plane, std::size_t lo, std::size_t hi) {
            calls.emplace_back(lo, hi);
            planes.push_back(plane);
            for (const Call& c : accept) {
                if (c == Call{lo, hi}) {
                    return true;
                }
            }
            return false;
        };
    }
};
std::vector<double> evenly(std::size_t n) {
    std::vector<double> z(n);
    for (std::size_t i = 0; i < n; ++i) {
        z[i] = 2.0 * static_cast<double>(i);
    }
    return z;
}
} // namespace

TEST_CASE("search order: through layers n-2..2, then between layers n-2..2") {
    Recorder r;
    const auto found = fbuild::search_mirror_plane(evenly(6), r.test());
    CHECK(found.kind == Kind::kNotFound);
    const std::vector<Call> expected{{3, 5}, {2, 4}, {1, 3}, {4, 5}, {3, 4}, {2, 3}};
    CHECK(r.calls == expected);
    CHECK((r.planes == std::vector<double>{8, 6, 4, 9, 7, 5}));
}

TEST_CASE("search with too few layers tries nothing") {
    for (std::size_t n : {0u, 1u, 2u, 3u}) {
        Recorder r;
        const auto found = fbuild::search_mirror_plane(evenly(n), r.test());
        CHECK(found.kind == (n < 2 ? Kind::kTooFewLayers : Kind::kNotFound));
        CHECK(r.calls.empty());
    }
}

TEST_CASE("a plane through a layer beats one between layers; the highest wins") {
    Recorder both{{{3, 5}, {4, 5}}};
    auto found = fbuild::search_mirror_plane(evenly(8), both.test());
    CHECK(found.kind == Kind::kThroughLayer);
    CHECK_EQ(found.index, 4u);
    CHECK_EQ(found.gap, 0.0);
    Recorder two{{{3, 5}, {5, 7}}};
    found = fbuild::search_mirror_plane(evenly(8), two.test());
    CHECK_EQ(found.index, 6u);
    Recorder between{{{5, 6}}};
    std::vector<double> z{0, 2, 4, 6, 8, 10.0, 12.2, 14};
    found = fbuild::search_mirror_plane(z, between.test());
    CHECK(found.kind == Kind::kBetweenLayers);
    CHECK_EQ(found.index, 5u);
    CHECK_NEAR(found.gap, 2.2, 1e-12);
    CHECK_NEAR(between.planes.back(), 11.1, 1e-12);
}

TEST_CASE("automatic deletion: the layers above the mirror, then those below the threshold") {
    std::vector<double> z(10);
    for (int i = 0; i < 10; ++i) {
        z[static_cast<std::size_t>(i)] = i;
    }
    // threshold = 7 - 2*2 + 0 - 0.05 = 2.95
    CHECK((fbuild::layers_to_delete(z, 7, 2.0, 2, 0.0, 0.1) ==
           std::vector<std::int64_t>{8, 9, 0, 1, 2}));
    // A gap of 1 lifts it by 0.5 to 3.45; a layer exactly at the threshold stays.
    CHECK((fbuild::layers_to_delete(z, 7, 2.0, 2, 1.0, 0.1) ==
           std::vector<std::int64_t>{8, 9, 0, 1, 2, 3}));
    CHECK((fbuild::layers_to_delete(z, 7, 2.0, 2, 0.1, 0.1) ==
           std::vector<std::int64_t>{8, 9, 0, 1, 2}));
    CHECK((fbuild::layers_to_delete(z, 9, 1.0, 20, 0.0, 0.1).empty()));
}

TEST_CASE("kept atoms: negative deletions count from the top, strays match nothing") {
    const fbuild::LayerIndices layers{{4, 0}, {1}, {2, 5}, {3}};
    CHECK((fbuild::kept_atoms(layers, {-1, 1}) == std::vector<std::int64_t>{4, 0, 2, 5}));
    CHECK((fbuild::kept_atoms(layers, {4, -5, 99}) == std::vector<std::int64_t>{4, 0, 1, 2, 5, 3}));
    CHECK(fbuild::kept_atoms(layers, {0, 1, 2, 3}).empty());
}

TEST_CASE("the next grain loses |k| top layers, k = -nl_per_layer * (next - current)") {
    CHECK((fbuild::top_layers_to_delete(-2, 3, 5) == std::vector<std::int64_t>{-4, -3, -2, -1}));
    CHECK(fbuild::top_layers_to_delete(0, 3, 5).empty());
    CHECK(fbuild::top_layers_to_delete(-2, 5, 5).empty());
}

TEST_CASE("layer coordinates are means and reject bad layers") {
    const std::vector<double> pos{0, 0, 1.0, 0, 0, 2.0, 0, 0, 6.0};
    auto out = fbuild::layer_coordinates(pos.data(), 3, 2, {{0, 1}, {-1}});
    CHECK((*out.value == std::vector<double>{1.5, 6.0}));
    CHECK(!fbuild::layer_coordinates(pos.data(), 3, 2, {{3}}).value);
    CHECK(!fbuild::layer_coordinates(pos.data(), 3, 2, {{}}).value);
}

TEST_CASE("stacking places grains end to end with one gap per grain") {
    const auto plan = fbuild::plan_stack({{1.0, 3.0}, {-2.0, 0.0}}, 0.5);
    CHECK((plan.shift == std::vector<double>{-1.0, 4.5}));
    CHECK_EQ(plan.total_thickness, 4.0);
    CHECK_EQ(plan.total_gap, 1.0);
    const auto single = fbuild::plan_stack({{1.0, 3.0}}, 0.5);
    CHECK_EQ(single.total_gap, 0.0);
    const auto extent = fbuild::axis_extent(std::vector<double>{0, 0, 3, 1, 1, -1}.data(), 2, 2);
    CHECK((extent == std::make_pair(-1.0, 3.0)));
    CHECK(!fbuild::axis_extent(nullptr, 0, 2));
}
