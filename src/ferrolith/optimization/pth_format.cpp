// Model files of the machine-learned potential: the zip archive and the
// restricted pickle machine (see pth_format.hpp).
#include "ferrolith/optimization/pth_format.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

namespace ferrolith::optimization::pth {

namespace {

using Bytes = const unsigned char*;

/// A name from the file as a message shows it: at most `most` bytes, and
/// anything but printable ASCII as '?' (names may be any bytes).
std::string shown(const std::string& text, std::size_t most) {
    std::string out = text.substr(0, most);
    for (char& c : out)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return text.size() > most ? out + "..." : out;
}

// --- zip archive ---------------------------------------------------------------

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64End = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kDirectoryEntry = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;

std::uint64_t little_endian(Bytes p, int n) {
    std::uint64_t v = 0;
    for (int k = n - 1; k >= 0; --k)
        v = (v << 8) | p[k];
    return v;
}

/// Reads little-endian fields of a record that lies inside the archive.
struct Cursor {
    Bytes base;
    std::size_t size;
    std::size_t at;
    bool fits(std::size_t n) const { return at <= size && n <= size - at; }
    std::uint64_t take(int n) {
        const std::uint64_t v = little_endian(base + at, n);
        at += static_cast<std::size_t>(n);
        return v;
    }
};

std::uint32_t crc32(Bytes p, std::size_t n) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFU;
    for (std::size_t i = 0; i < n; ++i)
        c = table[(c ^ p[i]) & 0xFFU] ^ (c >> 8);
    return c ^ 0xFFFFFFFFU;
}

core::Outcome<std::vector<ZipEntry>> zip_failure(const std::string& why) {
    return core::Outcome<std::vector<ZipEntry>>::fail("it cannot be read as a PyTorch file (" +
                                                      why + ")");
}

/// The values of a zip64 extended-information extra field that replace the
/// 32-bit fields set to all ones, in the order the format fixes.
bool apply_zip64_extra(Bytes extra, std::size_t n, std::uint64_t& size, std::uint64_t& packed,
                       std::uint64_t& offset) {
    std::size_t at = 0;
    while (at + 4 <= n) {
        const auto id = little_endian(extra + at, 2);
        const auto len = static_cast<std::size_t>(little_endian(extra + at + 2, 2));
        at += 4;
        if (len > n - at)
            return false;
        if (id == 1) {
            Cursor c{extra + at, len, 0};
            for (std::uint64_t* field : {&size, &packed, &offset}) {
                if (*field != 0xFFFFFFFFU)
                    continue;
                if (!c.fits(8))
                    return false;
                *field = c.take(8);
            }
            return true;
        }
        at += len;
    }
    return size != 0xFFFFFFFFU && packed != 0xFFFFFFFFU && offset != 0xFFFFFFFFU;
}

// --- the pickle machine --------------------------------------------------------

using Kind = Node::Kind;

/// Globals a weights file may name. Anything else refuses the file.
enum class Global {
    kOrderedDict,
    kRebuildTensorV2,
    kRebuildTensor,
    kRebuildParameter,
    kStorage,
};

struct StorageType {
    DType dtype;
    std::size_t file_size; ///< bytes per element in the file (bfloat16: 2)
    bool bfloat16;
};

const std::map<std::string, StorageType>& storage_types() {
    static const std::map<std::string, StorageType> types = {
        {"torch.DoubleStorage", {DType::kFloat64, 8, false}},
        {"torch.FloatStorage", {DType::kFloat32, 4, false}},
        {"torch.HalfStorage", {DType::kFloat16, 2, false}},
        {"torch.BFloat16Storage", {DType::kFloat32, 2, true}},
        {"torch.LongStorage", {DType::kInt64, 8, false}},
        {"torch.IntStorage", {DType::kInt32, 4, false}},
        {"torch.ShortStorage", {DType::kInt16, 2, false}},
        {"torch.CharStorage", {DType::kInt8, 1, false}},
        {"torch.ByteStorage", {DType::kUInt8, 1, false}},
        {"torch.BoolStorage", {DType::kBool, 1, false}},
    };
    return types;
}

/// Extra node data of the machine's own kinds: classes and functions named
/// by GLOBAL, storages named by BINPERSID. They never reach the result.
struct Special {
    enum class What { kNone, kGlobal, kStorage } what = What::kNone;
    Global global = Global::kOrderedDict;
    std::string name;        ///< the global's dotted name; the storage's key
    StorageType type{};      ///< storages and storage classes
    std::uint64_t numel = 0; ///< storages: elements
};

constexpr std::size_t kMaxDepth = 64;

/// A tensor's view of its storage, checked to lie within it.
struct View {
    std::size_t tensor = 0; ///< index into Document::tensors
    std::string key;        ///< the storage's key
    StorageType type{};
    std::uint64_t offset = 0; ///< first element
    std::vector<std::int64_t> shape, stride;
    std::uint64_t numel = 0; ///< elements of the view
};

bool native_big_endian() {
    const std::uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 0;
}

/// Copies the elements of `view` out of the storage at `base` into `out`, C
/// order, in the machine's byte order (`swap`: the file's order differs).
void copy_view(const View& view, Bytes base, bool swap, Tensor& out) {
    const std::size_t file_size = view.type.file_size;
    const std::size_t out_size = element_size(view.type.dtype);
    out.bytes.resize(static_cast<std::size_t>(view.numel) * out_size);
    std::vector<std::int64_t> index(view.shape.size(), 0);
    for (std::uint64_t k = 0; k < view.numel; ++k) {
        std::uint64_t element = view.offset;
        for (std::size_t d = 0; d < view.shape.size(); ++d)
            element +=
                static_cast<std::uint64_t>(index[d]) * static_cast<std::uint64_t>(view.stride[d]);
        std::array<unsigned char, 8> value{};
        std::memcpy(value.data(), base + element * file_size, file_size);
        if (swap)
            std::reverse(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(file_size));
        unsigned char* to = out.bytes.data() + k * out_size;
        if (view.type.bfloat16) {
            // the upper half of a float32
            std::uint16_t half = 0;
            std::memcpy(&half, value.data(), 2);
            const std::uint32_t bits = static_cast<std::uint32_t>(half) << 16;
            std::memcpy(to, &bits, 4);
        } else if (view.type.dtype == DType::kBool) {
            *to = value[0] != 0 ? 1 : 0;
        } else {
            std::memcpy(to, value.data(), out_size);
        }
        for (std::size_t d = view.shape.size(); d-- > 0;) {
            if (++index[d] < view.shape[d])
                break;
            index[d] = 0;
        }
    }
}

/// The records of an archive by name, each checked against its checksum the
/// first time it is read.
class Records {
public:
    Records(Bytes archive, const std::vector<ZipEntry>& entries) : archive_(archive) {
        for (const auto& e : entries)
            by_name_.emplace(e.name, Record{&e, false}); // the first of equal names
    }
    /// The entry `name`; nullptr when absent. `damaged` is set when its bytes
    /// do not match their checksum.
    const ZipEntry* find(const std::string& name, bool& damaged) {
        damaged = false;
        const auto found = by_name_.find(name);
        if (found == by_name_.end())
            return nullptr;
        Record& r = found->second;
        if (!r.checked) {
            r.intact = checksum_holds(archive_, *r.entry);
            r.checked = true;
        }
        damaged = !r.intact;
        return r.entry;
    }

private:
    struct Record {
        const ZipEntry* entry;
        bool checked;
        bool intact = false;
    };
    Bytes archive_;
    std::unordered_map<std::string, Record> by_name_;
};

std::string damaged_record(const std::string& name) {
    return "it cannot be read as a PyTorch file (the checksum of '" + shown(name, 80) +
           "' does not match: the file is damaged)";
}

class Machine {
public:
    /// A machine for the pickle `pickle[0, size)`. Storages are looked up in
    /// `records` (under `prefix`); without records (the legacy format, whose
    /// storages follow the pickle) views are kept in pending() to be filled.
    Machine(Bytes pickle, std::size_t size, Records* records, const std::string& prefix,
            Bytes archive, bool big_endian, std::size_t budget)
        : p_(pickle), n_(size), records_(records), prefix_(prefix), archive_(archive),
          big_endian_(big_endian), budget_(budget) {}

    core::Outcome<Document> run();
    /// Bytes of the pickle up to and with its STOP.
    std::size_t consumed() const { return at_; }
    const std::vector<View>& pending() const { return pending_; }
    /// Storage type and elements of every storage key referred to.
    const std::map<std::string, std::pair<StorageType, std::uint64_t>>& storages() const {
        return storages_;
    }

private:
    Bytes p_;
    std::size_t n_;
    std::size_t at_ = 0;
    Records* records_;
    std::vector<View> pending_;
    std::map<std::string, std::pair<StorageType, std::uint64_t>> storages_;
    std::string prefix_;
    Bytes archive_;
    bool big_endian_;
    std::size_t budget_; ///< bytes of tensor data still allowed

    Document doc_;
    std::vector<Special> special_;
    std::vector<std::size_t> stack_;
    std::vector<std::size_t> marks_;
    std::unordered_map<std::uint64_t, std::size_t> memo_;
    std::string error_;

    bool fail(const std::string& why) {
        if (error_.empty())
            error_ = why;
        return false;
    }
    bool malformed(const std::string& why) {
        return fail("it cannot be read as a PyTorch file (" + why + ")");
    }
    bool truncated() { return malformed("data.pkl ends early"); }

    std::size_t add(Node node, Special special = {}) {
        doc_.nodes.push_back(std::move(node));
        special_.push_back(std::move(special));
        return doc_.nodes.size() - 1;
    }
    std::size_t add_kind(Kind kind) {
        Node node;
        node.kind = kind;
        return add(std::move(node));
    }
    bool take(std::size_t n, Bytes& out) {
        if (n > n_ - at_)
            return truncated();
        out = p_ + at_;
        at_ += n;
        return true;
    }
    bool take_uint(int n, std::uint64_t& v) {
        Bytes b = nullptr;
        if (!take(static_cast<std::size_t>(n), b))
            return false;
        v = little_endian(b, n);
        return true;
    }
    bool pop(std::size_t& id) {
        if (stack_.size() <= (marks_.empty() ? 0 : marks_.back()))
            return malformed("data.pkl pops an empty stack");
        id = stack_.back();
        stack_.pop_back();
        return true;
    }
    bool top(std::size_t& id) {
        if (stack_.size() <= (marks_.empty() ? 0 : marks_.back()))
            return malformed("data.pkl reads an empty stack");
        id = stack_.back();
        return true;
    }
    /// The items above the last mark, removed from the stack with the mark.
    bool pop_mark(std::vector<std::size_t>& items) {
        if (marks_.empty())
            return malformed("data.pkl has no mark to pop");
        const std::size_t from = marks_.back();
        marks_.pop_back();
        items.assign(stack_.begin() + static_cast<std::ptrdiff_t>(from), stack_.end());
        stack_.resize(from);
        return true;
    }
    bool push_string(std::size_t length_bytes, Kind kind) {
        std::uint64_t len = 0;
        Bytes b = nullptr;
        if (!take_uint(static_cast<int>(length_bytes), len) || len > n_ - at_ ||
            !take(static_cast<std::size_t>(len), b))
            return truncated();
        Node node;
        node.kind = kind;
        node.text.assign(reinterpret_cast<const char*>(b), static_cast<std::size_t>(len));
        stack_.push_back(add(std::move(node)));
        return true;
    }
    bool push_int(std::int64_t v) {
        Node node;
        node.kind = Kind::kInt;
        node.integer = v;
        stack_.push_back(add(std::move(node)));
        return true;
    }
    bool push_long(std::size_t n_bytes) {
        Bytes b = nullptr;
        if (!take(n_bytes, b))
            return false;
        if (n_bytes > 8)
            return fail("it holds an integer beyond 64 bits, which a model file never does");
        std::uint64_t v = n_bytes ? little_endian(b, static_cast<int>(n_bytes)) : 0;
        if (n_bytes > 0 && n_bytes < 8 && (b[n_bytes - 1] & 0x80U))
            v |= ~std::uint64_t{0} << (8 * n_bytes); // sign extension
        std::int64_t s = 0;
        std::memcpy(&s, &v, sizeof s);
        return push_int(s);
    }
    bool push_global(const std::string& module, const std::string& name);
    bool set_items(std::size_t dict, const std::vector<std::size_t>& kv);
    bool persistent_load(std::size_t pid);
    bool reduce(std::size_t callable, std::size_t args);
    bool rebuild_tensor(const std::vector<std::size_t>& args, bool v2);
    bool int_tuple(std::size_t id, const char* what, std::vector<std::int64_t>& out);
    bool step(unsigned char op, bool& stop);
    bool check_tree(std::size_t id, std::size_t depth, std::vector<unsigned char>& state);
    bool hashable(std::size_t id) const;
};

bool Machine::push_global(const std::string& module, const std::string& name) {
    // protocol 2 names Python 3's builtins by their Python 2 module, as
    // Python's own unpickler maps them back
    const std::string dotted = (module == "__builtin__" ? "builtins" : module) + "." + name;
    Special s;
    s.what = Special::What::kGlobal;
    s.name = dotted;
    if (dotted == "collections.OrderedDict") {
        s.global = Global::kOrderedDict;
    } else if (dotted == "torch._utils._rebuild_tensor_v2") {
        s.global = Global::kRebuildTensorV2;
    } else if (dotted == "torch._utils._rebuild_tensor") {
        s.global = Global::kRebuildTensor;
    } else if (dotted == "torch._utils._rebuild_parameter") {
        s.global = Global::kRebuildParameter;
    } else if (auto found = storage_types().find(dotted); found != storage_types().end()) {
        s.global = Global::kStorage;
        s.type = found->second;
    } else {
        return fail("it refers to '" + shown(dotted, 200) + "', which a model file never holds");
    }
    stack_.push_back(add(Node{}, std::move(s)));
    return true;
}

bool Machine::hashable(std::size_t id) const {
    const Node& n = doc_.nodes[id];
    switch (n.kind) {
    case Kind::kNone:
    case Kind::kBool:
    case Kind::kInt:
    case Kind::kFloat:
    case Kind::kString:
    case Kind::kBytes:
        return special_[id].what == Special::What::kNone;
    case Kind::kTuple:
        // tuples of tuples are hashable too, but a key never nests
        return std::all_of(n.items.begin(), n.items.end(), [&](std::size_t i) {
            return doc_.nodes[i].kind != Kind::kTuple && hashable(i);
        });
    default:
        return false;
    }
}

bool Machine::set_items(std::size_t dict, const std::vector<std::size_t>& kv) {
    if (doc_.nodes[dict].kind != Kind::kDict || special_[dict].what != Special::What::kNone)
        return malformed("data.pkl sets items of something that is not a dictionary");
    if (kv.size() % 2 != 0)
        return malformed("data.pkl sets a key without a value");
    for (std::size_t k = 0; k < kv.size(); k += 2)
        if (!hashable(kv[k]))
            return fail("it holds a dictionary key that is not a number, string or tuple of "
                        "them, which a model file never does");
    auto& items = doc_.nodes[dict].items;
    items.insert(items.end(), kv.begin(), kv.end());
    return true;
}

/// BINPERSID of torch's zip format: ('storage', storage class, key, location,
/// numel); the legacy format adds the view metadata of old torch, None.
bool Machine::persistent_load(std::size_t pid) {
    const Node& t = doc_.nodes[pid];
    const std::size_t items = records_ != nullptr ? 5 : 6;
    if (t.kind != Kind::kTuple || t.items.size() != items ||
        doc_.nodes[t.items[0]].kind != Kind::kString || doc_.nodes[t.items[0]].text != "storage")
        return fail("it refers to a persistent object that is not a tensor storage, which a "
                    "model file never holds");
    const Special& cls = special_[t.items[1]];
    const Node& key = doc_.nodes[t.items[2]];
    const Node& numel = doc_.nodes[t.items[4]];
    if (cls.what != Special::What::kGlobal || cls.global != Global::kStorage ||
        key.kind != Kind::kString || numel.kind != Kind::kInt || numel.integer < 0)
        return malformed("a storage reference of data.pkl is malformed");
    if (items == 6 && doc_.nodes[t.items[5]].kind != Kind::kNone)
        return fail("it holds a view of a storage, which a model file never does");
    const auto [known, added] =
        storages_.emplace(key.text, std::make_pair(cls.type, numel.integer));
    if (!added && (known->second.first.dtype != cls.type.dtype ||
                   known->second.first.bfloat16 != cls.type.bfloat16 ||
                   known->second.second != static_cast<std::uint64_t>(numel.integer)))
        return malformed("the storage '" + shown(key.text, 40) + "' is named twice");
    Special s;
    s.what = Special::What::kStorage;
    s.name = key.text;
    s.type = cls.type;
    s.numel = static_cast<std::uint64_t>(numel.integer);
    stack_.push_back(add(Node{}, std::move(s)));
    return true;
}

bool Machine::int_tuple(std::size_t id, const char* what, std::vector<std::int64_t>& out) {
    const Node& t = doc_.nodes[id];
    if (t.kind != Kind::kTuple || t.items.size() > 32)
        return malformed(std::string("a tensor's ") + what + " is not a tuple of integers");
    out.clear();
    for (std::size_t i : t.items) {
        const Node& v = doc_.nodes[i];
        if (v.kind != Kind::kInt || v.integer < 0)
            return malformed(std::string("a tensor's ") + what + " is not a tuple of integers");
        out.push_back(v.integer);
    }
    return true;
}

/// _rebuild_tensor_v2(storage, offset, size, stride, requires_grad, hooks[, metadata])
/// or _rebuild_tensor(storage, offset, size, stride): the elements copied out.
bool Machine::rebuild_tensor(const std::vector<std::size_t>& args, bool v2) {
    if (v2 ? args.size() != 6 && args.size() != 7 : args.size() != 4)
        return malformed("a tensor is rebuilt with the wrong number of arguments");
    const Special& storage = special_[args[0]];
    const Node& offset_node = doc_.nodes[args[1]];
    if (storage.what != Special::What::kStorage || offset_node.kind != Kind::kInt ||
        offset_node.integer < 0)
        return malformed("a tensor is rebuilt from something that is not a storage");
    std::vector<std::int64_t> shape, stride;
    if (!int_tuple(args[2], "size", shape) || !int_tuple(args[3], "stride", stride))
        return false;
    if (shape.size() != stride.size())
        return malformed("a tensor's size and stride differ in length");
    if (v2 && doc_.nodes[args[5]].kind != Kind::kDict)
        return malformed("a tensor's backward hooks are not a dictionary");
    if (v2 && !doc_.nodes[args[5]].items.empty())
        return fail("it holds a tensor with backward hooks, which a model file never does");

    // the elements the view reaches, all within the storage
    constexpr std::uint64_t kMax = std::uint64_t{1} << 50;
    View view;
    view.key = storage.name;
    view.type = storage.type;
    view.offset = static_cast<std::uint64_t>(offset_node.integer);
    view.shape = shape;
    view.stride = stride;
    std::uint64_t numel = 1, last = view.offset;
    for (std::size_t d = 0; d < shape.size(); ++d) {
        const auto extent = static_cast<std::uint64_t>(shape[d]);
        if (extent != 0 && numel > kMax / extent)
            return malformed("a tensor is larger than its storage");
        numel *= extent;
    }
    if (numel > 0) {
        for (std::size_t d = 0; d < shape.size(); ++d) {
            const auto reach = static_cast<std::uint64_t>(shape[d] - 1);
            const auto step = static_cast<std::uint64_t>(stride[d]);
            if (step != 0 && reach > (kMax - last) / step)
                return malformed("a tensor reaches beyond its storage");
            last += reach * step;
        }
        if (last >= storage.numel)
            return malformed("a tensor reaches beyond its storage");
    }
    view.numel = numel;
    const std::size_t out_size = element_size(storage.type.dtype);
    // a view with zero strides may repeat elements: bound what is copied
    if (numel > budget_ / out_size)
        return fail("it holds tensors far larger than the file, which a model file never does");
    budget_ -= static_cast<std::size_t>(numel) * out_size;

    Tensor tensor;
    tensor.dtype = storage.type.dtype;
    tensor.shape = std::move(shape);
    view.tensor = doc_.tensors.size();
    if (records_ == nullptr) {
        pending_.push_back(std::move(view));
    } else {
        // where the storage's bytes lie
        const std::string entry_name = prefix_ + "data/" + storage.name;
        bool damaged = false;
        const ZipEntry* entry = records_->find(entry_name, damaged);
        if (entry == nullptr)
            return malformed("the storage '" + shown(storage.name, 40) + "' is missing");
        if (damaged)
            return fail(damaged_record(entry_name));
        if (storage.numel > entry->size / storage.type.file_size)
            return malformed("the storage '" + shown(storage.name, 40) +
                             "' is shorter than its tensors");
        copy_view(view, archive_ + entry->offset, big_endian_ != native_big_endian(), tensor);
    }
    doc_.tensors.push_back(std::move(tensor));
    Node node;
    node.kind = Kind::kTensor;
    node.tensor = doc_.tensors.size() - 1;
    stack_.push_back(add(std::move(node)));
    return true;
}

bool Machine::reduce(std::size_t callable, std::size_t args) {
    const Special& f = special_[callable];
    const Node& a = doc_.nodes[args];
    if (f.what != Special::What::kGlobal || a.kind != Kind::kTuple ||
        special_[args].what != Special::What::kNone)
        return malformed("data.pkl calls something that is not a function");
    const std::vector<std::size_t> items = a.items;
    switch (f.global) {
    case Global::kOrderedDict:
        if (!items.empty())
            return malformed("data.pkl builds an OrderedDict from arguments");
        stack_.push_back(add_kind(Kind::kDict));
        return true;
    case Global::kRebuildTensorV2:
        return rebuild_tensor(items, true);
    case Global::kRebuildTensor:
        return rebuild_tensor(items, false);
    case Global::kRebuildParameter:
        // (data, requires_grad, hooks): a parameter is read as its tensor
        if (items.size() != 3 || doc_.nodes[items[0]].kind != Kind::kTensor)
            return malformed("a parameter is rebuilt from something that is not a tensor");
        stack_.push_back(items[0]);
        return true;
    case Global::kStorage:
        break;
    }
    return fail("it calls '" + f.name + "', which a model file never does");
}

bool Machine::step(unsigned char op, bool& stop) {
    std::size_t a = 0, b = 0;
    std::uint64_t u = 0;
    Bytes raw = nullptr;
    std::vector<std::size_t> items;
    switch (op) {
    case 0x80: // PROTO
        if (!take_uint(1, u))
            return false;
        if (u < 2 || u > 5)
            return malformed("pickle protocol " + std::to_string(u) + " is not one torch writes");
        return true;
    case 0x95: // FRAME: a length prefix only
        return take_uint(8, u);
    case '.': // STOP
        stop = true;
        return true;
    case '(': // MARK
        marks_.push_back(stack_.size());
        return true;
    case '0': // POP
        return pop(a);
    case '1': // POP_MARK
        return pop_mark(items);
    case '2': // DUP
        if (!top(a))
            return false;
        stack_.push_back(a);
        return true;
    case 'N': // NONE
        stack_.push_back(add_kind(Kind::kNone));
        return true;
    case 0x88:   // NEWTRUE
    case 0x89: { // NEWFALSE
        Node node;
        node.kind = Kind::kBool;
        node.boolean = op == 0x88;
        stack_.push_back(add(std::move(node)));
        return true;
    }
    case 'K': // BININT1
        return take_uint(1, u) && push_int(static_cast<std::int64_t>(u));
    case 'M': // BININT2
        return take_uint(2, u) && push_int(static_cast<std::int64_t>(u));
    case 'J': // BININT: signed 32 bits
        return take_uint(4, u) &&
               push_int(static_cast<std::int32_t>(static_cast<std::uint32_t>(u)));
    case 0x8a: // LONG1
        return take_uint(1, u) && push_long(static_cast<std::size_t>(u));
    case 'G': { // BINFLOAT: big-endian IEEE double
        if (!take(8, raw))
            return false;
        std::uint64_t bits = 0;
        for (int k = 0; k < 8; ++k)
            bits = (bits << 8) | raw[k];
        Node node;
        node.kind = Kind::kFloat;
        std::memcpy(&node.real, &bits, sizeof bits);
        stack_.push_back(add(std::move(node)));
        return true;
    }
    case 'X': // BINUNICODE
        return push_string(4, Kind::kString);
    case 0x8c: // SHORT_BINUNICODE
        return push_string(1, Kind::kString);
    case 0x8d: // BINUNICODE8
        return push_string(8, Kind::kString);
    case 'C': // SHORT_BINBYTES
        return push_string(1, Kind::kBytes);
    case 'B': // BINBYTES
        return push_string(4, Kind::kBytes);
    case '}': // EMPTY_DICT
        stack_.push_back(add_kind(Kind::kDict));
        return true;
    case ']': // EMPTY_LIST
        stack_.push_back(add_kind(Kind::kList));
        return true;
    case ')': // EMPTY_TUPLE
        stack_.push_back(add_kind(Kind::kTuple));
        return true;
    case 't':   // TUPLE
    case 'l':   // LIST
    case 'd': { // DICT
        if (!pop_mark(items))
            return false;
        const std::size_t id = add_kind(op == 't'   ? Kind::kTuple
                                        : op == 'l' ? Kind::kList
                                                    : Kind::kDict);
        if (op == 'd') {
            if (!set_items(id, items))
                return false;
        } else {
            doc_.nodes[id].items = std::move(items);
        }
        stack_.push_back(id);
        return true;
    }
    case 0x85:   // TUPLE1
    case 0x86:   // TUPLE2
    case 0x87: { // TUPLE3
        const std::size_t count = op - 0x84U;
        items.resize(count);
        for (std::size_t k = count; k-- > 0;)
            if (!pop(items[k]))
                return false;
        const std::size_t id = add_kind(Kind::kTuple);
        doc_.nodes[id].items = std::move(items);
        stack_.push_back(id);
        return true;
    }
    case 'a':   // APPEND
    case 'e': { // APPENDS
        if (op == 'a') {
            if (!pop(b))
                return false;
            items.push_back(b);
        } else if (!pop_mark(items)) {
            return false;
        }
        if (!top(a))
            return false;
        if (doc_.nodes[a].kind != Kind::kList)
            return malformed("data.pkl appends to something that is not a list");
        auto& list = doc_.nodes[a].items;
        list.insert(list.end(), items.begin(), items.end());
        return true;
    }
    case 's': // SETITEM
        if (!pop(b) || !pop(a))
            return false;
        items = {a, b};
        return top(a) && set_items(a, items);
    case 'u': // SETITEMS
        return pop_mark(items) && top(a) && set_items(a, items);
    case 'q': // BINPUT
    case 'r': // LONG_BINPUT
        if (!take_uint(op == 'q' ? 1 : 4, u) || !top(a))
            return false;
        memo_[u] = a;
        return true;
    case 0x94: { // MEMOIZE
        if (!top(a))
            return false;
        const std::uint64_t next = memo_.size();
        memo_[next] = a;
        return true;
    }
    case 'h':   // BINGET
    case 'j': { // LONG_BINGET
        if (!take_uint(op == 'h' ? 1 : 4, u))
            return false;
        const auto found = memo_.find(u);
        if (found == memo_.end())
            return malformed("data.pkl reads a memo entry it never wrote");
        stack_.push_back(found->second);
        return true;
    }
    case 'c': { // GLOBAL: "module\nname\n"
        std::string parts[2];
        for (auto& part : parts) {
            const auto* end = static_cast<Bytes>(std::memchr(p_ + at_, '\n', n_ - at_));
            if (end == nullptr)
                return truncated();
            part.assign(reinterpret_cast<const char*>(p_ + at_),
                        static_cast<std::size_t>(end - (p_ + at_)));
            at_ = static_cast<std::size_t>(end - p_) + 1;
        }
        return push_global(parts[0], parts[1]);
    }
    case 0x93: { // STACK_GLOBAL
        if (!pop(b) || !pop(a))
            return false;
        if (doc_.nodes[a].kind != Kind::kString || doc_.nodes[b].kind != Kind::kString)
            return malformed("data.pkl names a global without strings");
        return push_global(doc_.nodes[a].text, doc_.nodes[b].text);
    }
    case 'Q': // BINPERSID
        return pop(a) && persistent_load(a);
    case 'R': // REDUCE
        return pop(b) && pop(a) && reduce(a, b);
    case 'b': // BUILD: the state of an OrderedDict (its attributes) is dropped
        if (!pop(b) || !top(a))
            return false;
        if (doc_.nodes[a].kind != Kind::kDict ||
            (doc_.nodes[b].kind != Kind::kDict && doc_.nodes[b].kind != Kind::kNone))
            return fail("it sets the state of an object, which a model file never does");
        return true;
    default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", op);
        return malformed("data.pkl holds the pickle opcode " + std::string(hex) + " at byte " +
                         std::to_string(at_ - 1) + ", which torch.save never writes");
    }
    }
}

/// Refuses cycles, excess depth and the machine's own kinds in the result.
bool Machine::check_tree(std::size_t id, std::size_t depth, std::vector<unsigned char>& state) {
    if (state[id] == 2)
        return true;
    if (state[id] == 1)
        return fail("it holds a container that contains itself, which a model file never does");
    if (depth > kMaxDepth)
        return fail("it nests containers deeper than " + std::to_string(kMaxDepth) +
                    " levels, which a model file never does");
    if (special_[id].what != Special::What::kNone)
        return fail(special_[id].what == Special::What::kStorage
                        ? "it holds a bare storage, which a model file never does"
                        : "it holds '" + special_[id].name +
                              "' itself, which a model file never does");
    state[id] = 1;
    for (std::size_t child : doc_.nodes[id].items)
        if (!check_tree(child, depth + 1, state))
            return false;
    state[id] = 2;
    return true;
}

core::Outcome<Document> Machine::run() {
    bool stop = false;
    while (!stop) {
        if (at_ >= n_) {
            truncated();
            break;
        }
        const unsigned char op = p_[at_++];
        if (!step(op, stop))
            break;
    }
    if (error_.empty() && (stack_.size() != 1 || !marks_.empty()))
        malformed("data.pkl ends with " + std::to_string(stack_.size()) + " values on its stack");
    if (error_.empty()) {
        std::vector<unsigned char> state(doc_.nodes.size(), 0);
        check_tree(stack_.front(), 0, state);
    }
    if (!error_.empty())
        return core::Outcome<Document>::fail(error_);
    doc_.root = stack_.front();
    return core::Outcome<Document>::ok(std::move(doc_));
}

/// The legacy format (torch.save with _use_new_zipfile_serialization=False):
/// five pickles in a row (a magic number, the format's version, facts about
/// the writing machine, the value, the storage keys), then each storage as
/// its element count (8 bytes) and its elements.
core::Outcome<Document> read_legacy(Bytes data, std::size_t size) {
    using Result = core::Outcome<Document>;
    static const unsigned char kMagic[] = {0x80, 0x02, 0x8a, 0x0a, 0x6c, 0xfc, 0x9c, 0x46,
                                           0xf9, 0x20, 0x6a, 0xa8, 0x50, 0x19, '.'};
    const auto broken = [](const std::string& why) {
        return Result::fail("it cannot be read as a PyTorch file of the legacy format (" + why +
                            ")");
    };
    if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return broken("its magic number is wrong");
    std::size_t at = sizeof kMagic;
    const std::size_t budget = 2 * size + (std::size_t{64} << 20);
    // the version, then the writer's facts: only its byte order matters here
    bool big_endian = false;
    for (int k = 0; k < 2; ++k) {
        Machine m(data + at, size - at, nullptr, "", data, false, budget);
        auto value = m.run();
        if (!value)
            return value;
        const Node& root = value.value->nodes[value.value->root];
        if (k == 0 && (root.kind != Kind::kInt || root.integer != 1001))
            return broken("its version is not 1001");
        for (std::size_t i = 0; k == 1 && i + 1 < root.items.size(); i += 2)
            if (value.value->nodes[root.items[i]].text == "little_endian")
                big_endian = !value.value->nodes[root.items[i + 1]].boolean;
        at += m.consumed();
    }
    Machine main(data + at, size - at, nullptr, "", data, big_endian, budget);
    auto doc = main.run();
    if (!doc)
        return doc;
    at += main.consumed();
    Machine key_list(data + at, size - at, nullptr, "", data, big_endian, budget);
    auto keys = key_list.run();
    if (!keys)
        return keys;
    at += key_list.consumed();

    // the storages, in the order of the key list
    std::map<std::string, Bytes> bases;
    const Node& list = keys.value->nodes[keys.value->root];
    if (list.kind != Kind::kList)
        return broken("its storage keys are not a list");
    for (std::size_t item : list.items) {
        const std::string& key = keys.value->nodes[item].text;
        const auto found = main.storages().find(key);
        if (found == main.storages().end())
            return broken("it stores a storage no tensor uses");
        if (size - at < 8)
            return broken("it ends early");
        std::uint64_t numel = little_endian(data + at, 8);
        if (big_endian) {
            std::uint64_t swapped = 0;
            for (int b = 0; b < 8; ++b)
                swapped = (swapped << 8) | ((numel >> (8 * b)) & 0xFFU);
            numel = swapped;
        }
        at += 8;
        const std::size_t element = found->second.first.file_size;
        if (numel < found->second.second || numel > (size - at) / element)
            return broken("the storage '" + shown(key, 40) + "' is shorter than its tensors");
        bases[key] = data + at;
        at += static_cast<std::size_t>(numel) * element;
    }
    const bool swap = big_endian != native_big_endian();
    for (const View& view : main.pending()) {
        const auto base = bases.find(view.key);
        if (base == bases.end())
            return broken("the storage '" + shown(view.key, 40) + "' is missing");
        copy_view(view, base->second, swap, doc.value->tensors[view.tensor]);
    }
    return doc;
}

} // namespace

bool checksum_holds(const unsigned char* archive, const ZipEntry& entry) {
    return crc32(archive + entry.offset, entry.size) == entry.crc;
}

std::size_t element_size(DType dtype) {
    switch (dtype) {
    case DType::kFloat64:
    case DType::kInt64:
        return 8;
    case DType::kFloat32:
    case DType::kInt32:
        return 4;
    case DType::kFloat16:
    case DType::kInt16:
        return 2;
    case DType::kInt8:
    case DType::kUInt8:
    case DType::kBool:
        return 1;
    }
    return 1;
}

core::Outcome<std::vector<ZipEntry>> read_zip_directory(const unsigned char* data,
                                                        std::size_t size) {
    // the end record: the last signature within its largest possible distance
    // from the end (22 bytes and a comment of up to 65535)
    if (size < 22)
        return zip_failure("it is too short for a zip archive");
    std::size_t end = size - 22 + 1;
    const std::size_t lowest = size > 22 + 65535 ? size - 22 - 65535 : 0;
    bool found = false;
    while (end-- > lowest) {
        if (little_endian(data + end, 4) == kEndOfDirectory) {
            found = true;
            break;
        }
    }
    if (!found)
        return zip_failure("it is not a zip archive");
    Cursor eocd{data, size, end + 10};
    std::uint64_t count = eocd.take(2);
    std::uint64_t dir_size = eocd.take(4);
    std::uint64_t dir_offset = eocd.take(4);
    // zip64: a locator just before the end record points at the zip64 end
    // record, whose values hold wherever the 16- and 32-bit ones are too small
    const bool has_locator = end >= 20 && little_endian(data + end - 20, 4) == kZip64Locator;
    if (!has_locator && (count == 0xFFFF || dir_size == 0xFFFFFFFFU || dir_offset == 0xFFFFFFFFU))
        return zip_failure("its zip64 end record is missing");
    if (has_locator) {
        const std::uint64_t at = little_endian(data + end - 20 + 8, 8);
        Cursor z{data, size, static_cast<std::size_t>(std::min<std::uint64_t>(at, size))};
        if (at > size || !z.fits(56) || z.take(4) != kZip64End)
            return zip_failure("its zip64 end record is malformed");
        z.at += 28; // to the total number of entries
        count = z.take(8);
        dir_size = z.take(8);
        dir_offset = z.take(8);
    }
    if (dir_offset > size || dir_size > size - dir_offset || count > dir_size / 46)
        return zip_failure("its central directory lies outside the file");

    std::vector<ZipEntry> entries;
    Cursor c{data, static_cast<std::size_t>(dir_offset + dir_size),
             static_cast<std::size_t>(dir_offset)};
    for (std::uint64_t k = 0; k < count; ++k) {
        if (!c.fits(46) || c.take(4) != kDirectoryEntry)
            return zip_failure("its central directory is malformed");
        c.at += 4; // versions
        const auto flags = c.take(2);
        const auto method = c.take(2);
        c.at += 4; // time and date
        const auto crc = static_cast<std::uint32_t>(c.take(4));
        std::uint64_t packed = c.take(4);
        std::uint64_t unpacked = c.take(4);
        const auto name_len = static_cast<std::size_t>(c.take(2));
        const auto extra_len = static_cast<std::size_t>(c.take(2));
        const auto comment_len = static_cast<std::size_t>(c.take(2));
        c.at += 8; // disk, attributes
        std::uint64_t local = c.take(4);
        if (!c.fits(name_len + extra_len + comment_len))
            return zip_failure("its central directory is malformed");
        ZipEntry entry;
        entry.name.assign(reinterpret_cast<const char*>(data + c.at), name_len);
        if (!apply_zip64_extra(data + c.at + name_len, extra_len, unpacked, packed, local))
            return zip_failure("the zip64 sizes of '" + shown(entry.name, 80) + "' are malformed");
        c.at += name_len + extra_len + comment_len;
        if (method != 0 || packed != unpacked)
            return zip_failure("the entry '" + shown(entry.name, 80) +
                               "' is compressed; torch.save stores entries uncompressed");
        if (flags & 1U)
            return zip_failure("the entry '" + shown(entry.name, 80) + "' is encrypted");
        // the data follows the local header, whose extra field (torch pads it
        // to align the data) may differ from the directory's
        Cursor h{data, size, static_cast<std::size_t>(std::min<std::uint64_t>(local, size))};
        if (local > size || !h.fits(30) || h.take(4) != kLocalHeader)
            return zip_failure("the local header of '" + shown(entry.name, 80) + "' is missing");
        h.at += 22;
        const auto local_name = static_cast<std::size_t>(h.take(2));
        const auto local_extra = static_cast<std::size_t>(h.take(2));
        if (!h.fits(local_name + local_extra) ||
            !Cursor{data, size, h.at + local_name + local_extra}.fits(unpacked))
            return zip_failure("the entry '" + shown(entry.name, 80) + "' ends beyond the file");
        entry.offset = h.at + local_name + local_extra;
        entry.size = static_cast<std::size_t>(unpacked);
        entry.crc = crc;
        entries.push_back(std::move(entry));
    }
    return core::Outcome<std::vector<ZipEntry>>::ok(std::move(entries));
}

core::Outcome<Document> read_pth(const unsigned char* data, std::size_t size) {
    if (size >= 3 && data[0] == 0x80 && data[1] == 0x02 && data[2] == 0x8a)
        return read_legacy(data, size);
    auto listed = read_zip_directory(data, size);
    if (!listed)
        return listed.forward_error<Document>();
    const std::vector<ZipEntry>& entries = *listed.value;
    if (entries.empty())
        return core::Outcome<Document>::fail(
            "it cannot be read as a PyTorch file (the archive is empty)");
    // every record lies in one top-level folder, the archive's name
    const std::string& first = entries.front().name;
    const std::string prefix = first.substr(0, first.find('/') + 1);
    Records records(data, entries);
    bool damaged = false;
    const ZipEntry* pickle = records.find(prefix + "data.pkl", damaged);
    if (prefix.empty() || pickle == nullptr)
        return core::Outcome<Document>::fail(
            "it cannot be read as a PyTorch file (the archive has no data.pkl)");
    if (damaged)
        return core::Outcome<Document>::fail(damaged_record(pickle->name));
    bool big_endian = false; // files of torch before 1.8 have no byteorder record
    if (const ZipEntry* order = records.find(prefix + "byteorder", damaged)) {
        if (damaged)
            return core::Outcome<Document>::fail(damaged_record(order->name));
        const std::string text(reinterpret_cast<const char*>(data + order->offset), order->size);
        if (text != "little" && text != "big")
            return core::Outcome<Document>::fail(
                "it cannot be read as a PyTorch file (its byteorder record is neither 'little' "
                "nor 'big')");
        big_endian = text == "big";
    }
    // tensors may repeat storage elements (zero strides); allow what a file
    // of this size could sensibly hold
    const std::size_t budget = 2 * size + (std::size_t{64} << 20);
    Machine machine(data + pickle->offset, pickle->size, &records, prefix, data, big_endian,
                    budget);
    return machine.run();
}

} // namespace ferrolith::optimization::pth
