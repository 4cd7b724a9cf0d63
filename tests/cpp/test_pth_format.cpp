// Kernel tests of the model file reader: a hand-built archive reads as its
// values, and every truncation and byte change of its pickle ends in an
// outcome (under the sanitizers: without reading out of bounds).
#include "check.hpp"
#include "ferrolith/optimization/pth_format.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace pth = ferrolith::optimization::pth;
using namespace std::string_literals;

namespace {

using Blob = std::vector<unsigned char>;

std::uint32_t crc32(const std::string& s) {
    std::uint32_t c = 0xFFFFFFFFU;
    for (unsigned char byte : s) {
        c ^= byte;
        for (int k = 0; k < 8; ++k)
            c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFU;
}

void put(Blob& out, std::uint64_t v, int n) {
    for (int k = 0; k < n; ++k)
        out.push_back(static_cast<unsigned char>(k < 8 ? v >> (8 * k) : 0));
}

/// A zip archive of STORED entries, as torch.save writes (without its padding).
Blob zip(const std::vector<std::pair<std::string, std::string>>& entries) {
    Blob out, directory;
    for (const auto& [name, data] : entries) {
        const std::size_t offset = out.size();
        for (Blob* b : {&out, &directory}) {
            put(*b, b == &out ? 0x04034b50 : 0x02014b50, 4);
            if (b == &directory)
                put(*b, 20, 2); // version made by
            put(*b, 20, 2);
            put(*b, 0, 2 + 2 + 4); // flags, method, time and date
            put(*b, crc32(data), 4);
            put(*b, data.size(), 4);
            put(*b, data.size(), 4);
            put(*b, name.size(), 2);
            put(*b, 0, 2);
            if (b == &directory) {
                put(*b, 0, 2 + 2 + 2 + 4);
                put(*b, offset, 4);
            }
            b->insert(b->end(), name.begin(), name.end());
        }
        out.insert(out.end(), data.begin(), data.end());
    }
    const std::size_t at = out.size();
    out.insert(out.end(), directory.begin(), directory.end());
    put(out, 0x06054b50, 4);
    put(out, 0, 4);
    put(out, entries.size(), 2);
    put(out, entries.size(), 2);
    put(out, directory.size(), 4);
    put(out, at, 4);
    put(out, 0, 2);
    return out;
}

std::string unicode(const std::string& s) {
    std::string out = "X";
    for (int k = 0; k < 4; ++k)
        out += static_cast<char>(s.size() >> (8 * k));
    return out + s;
}

/// {'format': 'ferrolith-mlp', 'w': <a 2×2 transposed view of [1, 2, 3, 4]>,
///  'v': <elements 2 and 4 of the same storage>, 'k': [1, -2, 1.5, None, True]}
std::string model_pickle(const std::string& global = "torch._utils\n_rebuild_tensor_v2\n",
                         bool legacy = false) {
    // the legacy format's storage references end in the view metadata, None
    const std::string storage = "((" + unicode("storage") + "ctorch\nDoubleStorage\n" +
                                unicode("0") + unicode("cpu") + (legacy ? "K\x04N" : "K\x04") +
                                "tQ";
    const std::string hooks = std::string("\x89") + "ccollections\nOrderedDict\n)R";
    std::string p = "\x80\x02}q\x00("s;
    p += unicode("format") + unicode("ferrolith-mlp");
    p += unicode("w") + "c" + global + "q\x01" + storage + "q\x02" + "K\x00"s +
         "K\x02K\x02\x86K\x01K\x02\x86" + hooks + "tR";
    p += unicode("v") + "h\x01(h\x02K\x01K\x02\x85K\x02\x85" + hooks + "tR";
    p += unicode("k") + "](K\x01J\xfe\xff\xff\xff" + "G\x3f\xf8\x00\x00\x00\x00\x00\x00"s +
         "N\x88" + "eu.";
    return p;
}

std::string doubles(const std::vector<double>& v) {
    std::string out(v.size() * 8, '\0');
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}

Blob model_file(const std::string& pickle) {
    return zip({{"m/data.pkl", pickle},
                {"m/byteorder", "little"},
                {"m/data/0", doubles({1, 2, 3, 4})},
                {"m/version", "3\n"}});
}

/// The same value in the legacy format: magic number, version 1001, facts
/// about the writer, the value, its storage keys, then each storage.
Blob legacy_file() {
    std::string out = "\x80\x02\x8a\x0a\x6c\xfc\x9c\x46\xf9\x20\x6a\xa8\x50\x19."s;
    out += "\x80\x02M\xe9\x03.";
    out += "\x80\x02}(" + unicode("little_endian") + "\x88u.";
    out += model_pickle("torch._utils\n_rebuild_tensor_v2\n", true);
    out += "\x80\x02](" + unicode("0") + "e.";
    out += "\x04\x00\x00\x00\x00\x00\x00\x00"s + doubles({1, 2, 3, 4});
    return Blob(out.begin(), out.end());
}

const pth::Node* value_of(const pth::Document& doc, const std::string& key) {
    const auto& items = doc.nodes[doc.root].items;
    for (std::size_t k = 0; k + 1 < items.size(); k += 2)
        if (doc.nodes[items[k]].text == key)
            return &doc.nodes[items[k + 1]];
    return nullptr;
}

std::vector<double> elements(const pth::Document& doc, const pth::Node* node) {
    const auto& bytes = doc.tensors[node->tensor].bytes;
    std::vector<double> out(bytes.size() / 8);
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return out;
}

} // namespace

TEST_CASE("pth: a hand-built file reads as its values, views copied in C order") {
    const Blob file = model_file(model_pickle());
    auto doc = pth::read_pth(file.data(), file.size());
    CHECK(doc.has_value());
    if (!doc)
        return;
    CHECK_EQ(value_of(*doc.value, "format")->text, std::string("ferrolith-mlp"));
    const pth::Node* w = value_of(*doc.value, "w");
    CHECK(w->kind == pth::Node::Kind::kTensor);
    CHECK((doc.value->tensors[w->tensor].shape == std::vector<std::int64_t>{2, 2}));
    CHECK((elements(*doc.value, w) == std::vector<double>{1, 3, 2, 4}));
    CHECK((elements(*doc.value, value_of(*doc.value, "v")) == std::vector<double>{2, 4}));
    const pth::Node* k = value_of(*doc.value, "k");
    CHECK_EQ(k->items.size(), std::size_t{5});
    CHECK_EQ(doc.value->nodes[k->items[1]].integer, std::int64_t{-2});
    CHECK_EQ(doc.value->nodes[k->items[2]].real, 1.5);
    CHECK(doc.value->nodes[k->items[3]].kind == pth::Node::Kind::kNone);
    CHECK(doc.value->nodes[k->items[4]].boolean);
}

TEST_CASE("pth: other globals are refused by name, damaged archives by checksum") {
    const Blob evil = model_file(model_pickle("os\nsystem\n"));
    auto doc = pth::read_pth(evil.data(), evil.size());
    CHECK(!doc.has_value());
    CHECK_EQ(doc.error, std::string("it refers to 'os.system', which a model file never holds"));
    Blob damaged = model_file(model_pickle());
    const std::string order = "little";
    *std::search(damaged.begin(), damaged.end(), order.begin(), order.end()) ^= 0x20;
    doc = pth::read_pth(damaged.data(), damaged.size());
    CHECK(!doc.has_value() && doc.error.find("checksum") != std::string::npos);
}

TEST_CASE("pth: every truncation and byte change of the pickle ends in an outcome") {
    const std::string pickle = model_pickle();
    int read = 0;
    for (std::size_t at = 0; at < pickle.size(); ++at) {
        const Blob cut = model_file(pickle.substr(0, at));
        CHECK(!pth::read_pth(cut.data(), cut.size()).has_value());
        for (unsigned char change : {0x01, 0x02, 0x10, 0x80, 0xff}) {
            std::string mutated = pickle;
            mutated[at] = static_cast<char>(mutated[at] ^ change);
            const Blob file = model_file(mutated);
            read += pth::read_pth(file.data(), file.size()).has_value() ? 1 : 0;
        }
    }
    CHECK(read > 0); // some changes only alter a number or a letter
    // the legacy format (no checksums) read, and cut or changed anywhere
    const Blob legacy = legacy_file();
    auto doc = pth::read_pth(legacy.data(), legacy.size());
    CHECK(doc.has_value());
    if (doc)
        CHECK((elements(*doc.value, value_of(*doc.value, "w")) == std::vector<double>{1, 3, 2, 4}));
    for (std::size_t n = 0; n < legacy.size(); ++n) {
        CHECK(!pth::read_pth(legacy.data(), n).has_value());
        Blob changed = legacy;
        changed[n] ^= 0x81;
        (void)pth::read_pth(changed.data(), changed.size());
    }
    // and the archive itself, cut anywhere, fails cleanly
    const Blob file = model_file(pickle);
    for (std::size_t n = 0; n < file.size(); ++n)
        CHECK(!pth::read_pth(file.data(), n).has_value());
}
