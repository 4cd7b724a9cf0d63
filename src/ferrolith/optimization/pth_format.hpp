// Model files of the machine-learned potential, read without PyTorch.
//
// A model file is what `torch.save` writes for one plain dictionary: a zip
// archive (entries STORED, never compressed) holding `<archive>/data.pkl`, a
// pickle of the dictionary, beside one `<archive>/data/<key>` entry of raw
// bytes per tensor storage and the `byteorder` of those bytes. Files of the
// legacy format (`_use_new_zipfile_serialization=False`) are read too: five
// pickles in a row followed by the storages' bytes. The pickles are
// run by a small virtual machine that knows only the opcodes `torch.save`
// emits and only the globals a weights file holds (tensor rebuilds, storage
// types, OrderedDict). Nothing is ever imported or called: any other global
// refuses the file, so a hostile file cannot run code, and a malformed one
// ends in a message, never in a crash.
//
// The result is a plain value tree: numbers, strings, lists, tuples,
// dictionaries and tensors copied out of their storages as C-ordered arrays in
// the machine's byte order.
#pragma once

#include "ferrolith/core/outcome.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ferrolith::optimization::pth {

/// Element types of tensors. Half precision stays half; bfloat16, which numpy
/// lacks, is widened to float32 (exactly: it is float32's upper half).
enum class DType { kFloat64, kFloat32, kFloat16, kInt64, kInt32, kInt16, kInt8, kUInt8, kBool };

/// Bytes per element of `dtype`.
std::size_t element_size(DType dtype);

/// A tensor read from its storage.
struct Tensor {
    DType dtype = DType::kFloat64;
    std::vector<std::int64_t> shape;  ///< sizes per dimension; empty for a scalar
    std::vector<unsigned char> bytes; ///< elements in C order, native byte order
};

/// One value of the pickled tree. Containers refer to other nodes by index
/// into Document::nodes; a node may be shared (a pickle memo reference), but
/// the tree never holds a cycle.
struct Node {
    enum class Kind { kNone, kBool, kInt, kFloat, kString, kBytes, kList, kTuple, kDict, kTensor };
    Kind kind = Kind::kNone;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text;               ///< kString (UTF-8) and kBytes
    std::vector<std::size_t> items; ///< kList, kTuple: elements; kDict: key, value, key, value ...
    std::size_t tensor = 0;         ///< kTensor: index into Document::tensors
};

/// The value tree of a model file. Also holds nodes the pickle made on the way
/// that the root does not reach (classes, storages); only the root's subtree is
/// the file's value.
struct Document {
    std::vector<Node> nodes;
    std::vector<Tensor> tensors;
    std::size_t root = 0;
};

/// One entry of a zip archive: its name and where its bytes lie in the archive.
struct ZipEntry {
    std::string name;
    std::size_t offset = 0; ///< first byte of the entry's data
    std::size_t size = 0;   ///< bytes of data
    std::uint32_t crc = 0;  ///< CRC-32 of the data, as the directory records it
};

/// The entries of the zip archive `data[0, size)`, from its central directory
/// (zip64 included), each lying within the archive. Fails for anything but an
/// archive of STORED (uncompressed, unencrypted) entries.
core::Outcome<std::vector<ZipEntry>> read_zip_directory(const unsigned char* data,
                                                        std::size_t size);

/// Whether the data of `entry` in `archive` has the CRC-32 the directory records.
/// Checked as entries are read, so a hostile directory of many entries over
/// the same bytes costs no more than one pass per entry used.
bool checksum_holds(const unsigned char* archive, const ZipEntry& entry);

/// The value tree of the PyTorch file `data[0, size)`, of the zip or the legacy
/// format. Failure messages are phrased to follow "<path> is not a ferrolith
/// machine-learned potential file: ".
core::Outcome<Document> read_pth(const unsigned char* data, std::size_t size);

} // namespace ferrolith::optimization::pth
