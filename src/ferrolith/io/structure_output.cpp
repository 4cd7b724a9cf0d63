#include "ferrolith/io/structure_output.hpp"

#include "ferrolith/io/cfg_writer.hpp"
#include "ferrolith/io/lammps_data.hpp"
#include "ferrolith/io/structure_formats.hpp"
#include "ferrolith/io/xyz_writer.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace ferrolith::io {

namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// Atoms per chunk of text handed to the file.
constexpr std::size_t kChunkAtoms = 1 << 14;
// Files of at least this many atoms report progress while they are written.
constexpr std::size_t kProgressWriteAtoms = 1'000'000;

// Formats chunks of atoms on worker threads while the calling thread writes
// the finished ones to the file in order: formatting is the slow part, so two
// formatters keep a disk busy. At most kSlots chunks of text exist at once.
class ChunkPipeline {
public:
    using Format = std::function<void(std::string&, std::size_t, std::size_t)>;

    ChunkPipeline(std::size_t n_atoms, Format format)
        : n_atoms_(n_atoms), n_chunks_((n_atoms + kChunkAtoms - 1) / kChunkAtoms),
          format_(std::move(format)), slots_(kSlots) {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        const std::size_t workers = std::min<std::size_t>({kMaxWorkers, cores, n_chunks_});
        for (std::size_t w = 0; w < workers; ++w) {
            threads_.emplace_back([this] { work(); });
        }
    }
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    ~ChunkPipeline() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_) {
            t.join();
        }
    }

    std::size_t chunks() const { return n_chunks_; }

    /// Waits for chunk `c` (in order, from 0) and returns its text; the text
    /// stays valid until release(c).
    const std::string& wait(std::size_t c) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return slots_[c % kSlots].ready == c + 1 || failed_; });
        if (failed_) {
            throw std::bad_alloc();
        }
        return slots_[c % kSlots].text;
    }

    /// Frees the slot of chunk `c` for a later chunk.
    void release(std::size_t c) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            written_ = c + 1;
        }
        changed_.notify_all();
    }

private:
    static constexpr std::size_t kSlots = 4;
    static constexpr std::size_t kMaxWorkers = 2;

    struct Slot {
        std::string text;
        std::size_t ready = 0; // chunk index + 1 whose text the slot holds
    };

    void work() {
        for (;;) {
            std::size_t c = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (stop_ || next_ >= n_chunks_) {
                    return;
                }
                c = next_++;
                // The slot is free once the chunk kSlots before it is written.
                changed_.wait(lock, [&] { return stop_ || c < written_ + kSlots; });
                if (stop_) {
                    return;
                }
            }
            Slot& slot = slots_[c % kSlots];
            try {
                slot.text.clear();
                const std::size_t begin = c * kChunkAtoms;
                format_(slot.text, begin, std::min(n_atoms_, begin + kChunkAtoms));
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                failed_ = true;
                changed_.notify_all();
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                slot.ready = c + 1;
            }
            changed_.notify_all();
        }
    }

    const std::size_t n_atoms_;
    const std::size_t n_chunks_;
    const Format format_;
    std::vector<Slot> slots_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;    // next chunk to format
    std::size_t written_ = 0; // chunks written so far
    bool stop_ = false;
    bool failed_ = false;
};

// Writes `header`, then the text of the atoms chunk by chunk, into the file
// `path` opened with the module's `open` (in binary mode: the text is ASCII
// and goes to the file as it is); progress on stderr names `shown`.
void write_in_chunks(const fb::Globals& module, py::object path, const std::string& shown,
                     const std::string& header, std::size_t n,
                     const ChunkPipeline::Format& format) {
    py::object fd = module["open"](path, "wb");
    const bool progress = n >= kProgressWriteAtoms;
    int reported = 0;
    try {
        py::object write = fd.attr("write");
        write(py::bytes(header));
        ChunkPipeline pipeline(n, format);
        for (std::size_t c = 0; c < pipeline.chunks(); ++c) {
            const std::string* text = nullptr;
            {
                py::gil_scoped_release release;
                text = &pipeline.wait(c);
            }
            write(
                py::memoryview::from_memory(text->data(), static_cast<py::ssize_t>(text->size())));
            pipeline.release(c);
            const std::size_t end = std::min(n, (c + 1) * kChunkAtoms);
            const int percent = static_cast<int>(100.0 * static_cast<double>(end) / n);
            if (progress && percent / 25 > reported / 25) {
                reported = percent;
                fb::print_stderr_line("Writing " + shown + ": " + std::to_string(percent) + "%");
            }
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
        }
    } catch (...) {
        fd.attr("close")();
        throw;
    }
    fd.attr("close")();
}

struct ElementTables {
    std::vector<double> mass;
    std::vector<std::string> symbol;
};

ElementTables element_tables() {
    py::module_ data = py::module_::import("ase.data");
    ElementTables t;
    for (py::handle m : data.attr("atomic_masses")) {
        t.mass.push_back(m.cast<double>());
    }
    for (py::handle s : data.attr("chemical_symbols")) {
        t.symbol.push_back(s.cast<std::string>());
    }
    return t;
}

// Atomic numbers of the atoms, or nothing when one has no entry in ASE's tables.
std::optional<IntArray> known_numbers(py::handle atoms, const ElementTables& tables) {
    IntArray numbers = IntArray::ensure(atoms.attr("arrays")["numbers"]);
    for (py::ssize_t a = 0; a < numbers.size(); ++a) {
        const std::int64_t z = numbers.data()[a];
        if (z < 0 || static_cast<std::size_t>(z) >= tables.symbol.size()) {
            return std::nullopt;
        }
    }
    return numbers;
}

// numpy's x % 1.0: the remainder with the sign of the divisor, +0.0 for none.
double numpy_remainder_one(double x) {
    double r = std::fmod(x, 1.0);
    if (r != 0.0) {
        if (r < 0.0) {
            r += 1.0;
        }
    } else {
        r = 0.0;
    }
    return r;
}

// CFG as ASE writes it, for structures whose extra arrays are numbers.
// Returns false (nothing written) for anything else.
bool write_cfg_fast(const fb::Globals& module, py::object path, const std::string& shown,
                    py::object atoms) {
    py::dict arrays = atoms.attr("arrays");
    std::vector<DoubleArray> keep_alive;
    std::vector<IntArray> int_alive;
    std::vector<AuxColumns> aux;
    for (auto item : arrays) {
        const std::string name = py::str(item.first).cast<std::string>();
        if (name == "positions" || name == "numbers" || name == "magmoms" || name == "momenta") {
            continue;
        }
        py::array values = py::reinterpret_borrow<py::array>(item.second);
        const char kind = values.dtype().kind();
        if ((kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') || values.ndim() < 1 ||
            values.ndim() > 2) {
            return false;
        }
        const std::size_t width =
            values.ndim() == 2 ? static_cast<std::size_t>(values.shape(1)) : 1;
        if (kind == 'i' && values.itemsize() == 8 && (values.flags() & py::array::c_style)) {
            // Grain and lamella ids: read in place.
            int_alive.push_back(IntArray::ensure(values));
            aux.push_back({name, width, nullptr, int_alive.back().data()});
            continue;
        }
        keep_alive.push_back(DoubleArray::ensure(values));
        aux.push_back({name, width, keep_alive.back().data()});
    }
    const ElementTables tables = element_tables();
    const std::optional<IntArray> numbers = known_numbers(atoms, tables);
    if (!numbers) {
        return false;
    }
    // Velocities as ASE's get_velocities gives them (momenta over masses,
    // zero momenta when there are none), chunk by chunk instead of two more
    // arrays of every atom.
    const bool has_momenta = arrays.contains("momenta");
    const bool has_masses = arrays.contains("masses");
    DoubleArray momenta = has_momenta ? DoubleArray::ensure(arrays["momenta"]) : DoubleArray();
    DoubleArray masses = has_masses ? DoubleArray::ensure(arrays["masses"]) : DoubleArray();
    const double* pp = has_momenta ? momenta.data() : nullptr;
    const double* mp = has_masses ? masses.data() : nullptr;
    DoubleArray cell = DoubleArray::ensure(atoms.attr("get_cell")("complete"_a = true));
    std::array<std::array<double, 3>, 3> h{};
    bool diagonal = true;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            h[r][c] = cell.at(r, c);
            diagonal = diagonal && (r == c || h[r][c] == 0.0);
        }
    }
    const auto n = static_cast<std::size_t>(numbers->size());
    const std::int64_t* z = numbers->data();
    // An orthorhombic box: scaled positions chunk by chunk, as numpy computes
    // them (x times the inverse length, wrapped twice along periodic axes),
    // instead of a second array of every position. Other cells take ASE's.
    DoubleArray positions = DoubleArray::ensure(atoms.attr("arrays")["positions"]);
    DoubleArray scaled;
    std::array<double, 3> inverse{};
    std::array<bool, 3> periodic{};
    if (diagonal) {
        py::object pbc = atoms.attr("pbc");
        for (int c = 0; c < 3; ++c) {
            inverse[static_cast<std::size_t>(c)] = 1.0 / h[c][c];
            periodic[static_cast<std::size_t>(c)] = py::bool_(pbc[py::int_(c)]);
        }
    } else {
        scaled = DoubleArray::ensure(atoms.attr("get_scaled_positions")());
    }
    const double* xp = positions.data();
    const double* sp = diagonal ? nullptr : scaled.data();
    write_in_chunks(module, path, shown, cfg_header(n, h, true, aux), n,
                    [&](std::string& out, std::size_t begin, std::size_t end) {
                        std::vector<double> velocities(3 * (end - begin));
                        for (std::size_t a = begin; a < end; ++a) {
                            const double m =
                                mp != nullptr ? mp[a] : tables.mass[static_cast<std::size_t>(z[a])];
                            for (std::size_t c = 0; c < 3; ++c) {
                                const double p = pp != nullptr ? pp[3 * a + c] : 0.0;
                                velocities[3 * (a - begin) + c] = p / m;
                            }
                        }
                        // Scaled positions of the chunk: ASE's for other cells, computed
                        // here for an orthorhombic box.
                        std::vector<double> local;
                        const double* chunk_scaled = nullptr;
                        if (diagonal) {
                            local.resize(3 * (end - begin));
                            for (std::size_t a = begin; a < end; ++a) {
                                for (std::size_t c = 0; c < 3; ++c) {
                                    double f = xp[3 * a + c] * inverse[c];
                                    if (periodic[c]) {
                                        f = numpy_remainder_one(numpy_remainder_one(f));
                                    }
                                    local[3 * (a - begin) + c] = f;
                                }
                            }
                            chunk_scaled = local.data();
                        } else {
                            chunk_scaled = sp + 3 * begin;
                        }
                        std::vector<AuxColumns> shifted = aux;
                        for (AuxColumns& col : shifted) {
                            if (col.values != nullptr) {
                                col.values += begin * col.width;
                            } else {
                                col.integers += begin * col.width;
                            }
                        }
                        append_cfg_atoms(out, 0, end - begin, chunk_scaled, velocities.data(),
                                         z + begin, shifted, tables.mass, tables.symbol);
                    });
    return true;
}

// LAMMPS data (atomic style, with masses) as ASE writes it, for orthorhombic
// boxes with standard masses and no explicit atom types. Returns false
// (nothing written) for anything else.
bool write_lammps_fast(const fb::Globals& module, py::object path, const std::string& shown,
                       py::object atoms) {
    py::dict arrays = atoms.attr("arrays");
    if (arrays.contains("type") || arrays.contains("masses")) {
        return false;
    }
    DoubleArray cell = DoubleArray::ensure(atoms.attr("cell").attr("array"));
    std::array<double, 3> box{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            if (r != c && cell.at(r, c) != 0.0) {
                return false;
            }
        }
        box[r] = cell.at(r, r);
        if (!(box[r] > 0.0)) {
            return false;
        }
    }
    const ElementTables tables = element_tables();
    const std::optional<IntArray> numbers = known_numbers(atoms, tables);
    if (!numbers) {
        return false;
    }
    const auto n = static_cast<std::size_t>(numbers->size());
    const std::int64_t* z = numbers->data();
    // Types in the alphabetical order of the symbols present.
    std::vector<bool> present(tables.symbol.size(), false);
    for (std::size_t a = 0; a < n; ++a) {
        present[static_cast<std::size_t>(z[a])] = true;
    }
    std::vector<std::pair<std::string, std::size_t>> species;
    for (std::size_t k = 0; k < present.size(); ++k) {
        if (present[k]) {
            species.emplace_back(tables.symbol[k], k);
        }
    }
    std::sort(species.begin(), species.end());
    std::vector<std::string> names;
    std::vector<double> masses;
    std::vector<int> type_of(tables.symbol.size(), 0);
    // ASE's unit conversion, so the masses come out digit for digit as its writer's.
    py::object convert = py::module_::import("ase.calculators.lammps").attr("convert");
    for (std::size_t t = 0; t < species.size(); ++t) {
        names.push_back(species[t].first);
        masses.push_back(
            convert(tables.mass[species[t].second], "mass", "ASE", "metal").cast<double>());
        type_of[species[t].second] = static_cast<int>(t + 1);
    }
    DoubleArray positions = DoubleArray::ensure(atoms.attr("arrays")["positions"]);
    const double* pos = positions.data();
    write_in_chunks(module, path, shown, lammps_data_header(n, box, names, masses), n,
                    [&](std::string& out, std::size_t begin, std::size_t end) {
                        append_lammps_atoms(out, begin, end, pos, z, type_of);
                    });
    return true;
}

// Extended XYZ as ASE writes it, for structures without a calculator or
// constraints whose extra arrays are 64-bit integers or floats. The comment
// line is the one ASE's extended XYZ writer gives the first atom alone (it
// depends on the cell, the info and the columns, not on the count), and that
// atom's line must come out as ASE's does. Returns false (nothing written)
// otherwise.
bool write_extxyz_fast(const fb::Globals& module, py::object path, const std::string& shown,
                       py::object atoms) {
    const std::size_t n = py::len(atoms);
    if (n == 0 || !atoms.attr("calc").is_none() || py::len(atoms.attr("constraints")) > 0) {
        return false;
    }
    py::dict arrays = atoms.attr("arrays");
    std::vector<DoubleArray> float_alive;
    std::vector<IntArray> int_alive;
    std::vector<AuxColumns> columns;
    for (auto item : arrays) {
        const std::string name = py::str(item.first).cast<std::string>();
        if (name == "positions" || name == "numbers") {
            continue;
        }
        if (name == "symbols" || name == "species" || name == "pos" ||
            !py::isinstance<py::array>(item.second)) {
            return false;
        }
        py::array values = py::reinterpret_borrow<py::array>(item.second);
        const char kind = values.dtype().kind();
        if (values.itemsize() != 8 || (kind != 'i' && kind != 'f') || values.ndim() < 1 ||
            values.ndim() > 2) {
            return false;
        }
        const std::size_t width =
            values.ndim() == 2 ? static_cast<std::size_t>(values.shape(1)) : 1;
        if (kind == 'i') {
            int_alive.push_back(IntArray::ensure(values));
            columns.push_back({name, width, nullptr, int_alive.back().data()});
        } else {
            float_alive.push_back(DoubleArray::ensure(values));
            columns.push_back({name, width, float_alive.back().data()});
        }
    }
    py::array raw_positions = py::reinterpret_borrow<py::array>(arrays["positions"]);
    if (raw_positions.dtype().kind() != 'f' || raw_positions.itemsize() != 8) {
        return false;
    }
    const ElementTables tables = element_tables();
    const std::optional<IntArray> numbers = known_numbers(atoms, tables);
    if (!numbers) {
        return false;
    }
    const DoubleArray positions = DoubleArray::ensure(raw_positions);
    const double* pos = positions.data();
    const std::int64_t* z = numbers->data();

    py::object buffer = py::module_::import("io").attr("StringIO")();
    py::module_::import("ase.io.extxyz").attr("write_xyz")(buffer, atoms[py::slice(0, 1, 1)]);
    const std::string first = py::str(buffer.attr("getvalue")()).cast<std::string>();
    const std::size_t count_end = first.find('\n');
    if (first.rfind("1\n", 0) != 0 || first.size() < 2 || first.back() != '\n') {
        return false;
    }
    const std::size_t line_start = first.rfind('\n', first.size() - 2) + 1;
    if (line_start <= count_end + 1) {
        return false;
    }
    std::string line;
    append_extxyz_atoms(line, 0, 1, pos, z, tables.symbol, columns);
    if (first.compare(line_start, std::string::npos, line) != 0) {
        return false;
    }
    const std::string header =
        std::to_string(n) + "\n" + first.substr(count_end + 1, line_start - count_end - 1);
    write_in_chunks(module, path, shown, header, n,
                    [&](std::string& out, std::size_t begin, std::size_t end) {
                        append_extxyz_atoms(out, begin, end, pos, z, tables.symbol, columns);
                    });
    return true;
}

} // namespace

std::optional<OutputFormat> resolve_output_format(const std::string& raw) {
    const std::string token = py::str(py::str(raw).attr("lower")()).cast<std::string>();
    if (auto known = known_structure_format(token)) {
        py::dict options;
        if (known->lammps_atomic) {
            options["atom_style"] = "atomic";
            options["masses"] = true;
        }
        return OutputFormat{known->ase_name, known->suffix, options};
    }
    py::dict ioformats = py::module_::import("ase.io.formats").attr("ioformats");
    if (ioformats.contains(token)) {
        py::object fmt = ioformats[py::str(token)];
        if (py::bool_(fmt.attr("can_write"))) {
            return OutputFormat{token, token, {}};
        }
    }
    for (auto item : ioformats) {
        py::object fmt = py::reinterpret_borrow<py::object>(item.second);
        if (!py::bool_(fmt.attr("can_write"))) {
            continue;
        }
        for (py::handle ext : fmt.attr("extensions")) {
            if (py::str(ext).cast<std::string>() == token) {
                return OutputFormat{py::str(item.first).cast<std::string>(), token, {}};
            }
        }
    }
    return std::nullopt;
}

void write_structure(const fb::Globals& module, py::object path, py::object atoms,
                     const OutputFormat& format) {
    const std::string shown = py::str(path).cast<std::string>();
    fb::write_file_atomically(path, [&](py::object temporary) {
        // The formats of large MD inputs get a writer of their own; ASE's take
        // minutes for millions of atoms.
        if (format.ase_name == "cfg" && write_cfg_fast(module, temporary, shown, atoms)) {
            return;
        }
        if (format.ase_name == "lammps-data" &&
            write_lammps_fast(module, temporary, shown, atoms)) {
            return;
        }
        if (format.ase_name == "extxyz" && format.options.empty() &&
            write_extxyz_fast(module, temporary, shown, atoms)) {
            return;
        }
        module["write"](temporary, atoms, "format"_a = format.ase_name, **format.options);
    });
}

void write_per_atom_table(const fb::Globals& module, py::object path, py::object atoms,
                          const std::vector<std::string>& names) {
    py::dict arrays = atoms.attr("arrays");
    std::vector<IntArray> keep_alive;
    std::vector<const std::int64_t*> columns;
    std::string header = "# id";
    for (const std::string& name : names) {
        keep_alive.push_back(IntArray::ensure(arrays[py::str(name)]));
        columns.push_back(keep_alive.back().data());
        header += " " + name;
    }
    header += "\n";
    const auto n = static_cast<std::size_t>(py::len(atoms));
    const std::string shown = py::str(path).cast<std::string>();
    fb::write_file_atomically(path, [&](py::object temporary) {
        write_in_chunks(module, temporary, shown, header, n,
                        [&](std::string& out, std::size_t begin, std::size_t end) {
                            append_per_atom_rows(out, begin, end, columns);
                        });
    });
}

void write_text_file(const fb::Globals& module, py::object path, const std::string& text) {
    fb::write_file_atomically(path, [&](py::object temporary) {
        py::object fd = module["open"](temporary, "w");
        try {
            fd.attr("write")(py::str(text));
        } catch (...) {
            fd.attr("close")();
            throw;
        }
        fd.attr("close")();
    });
}

} // namespace ferrolith::io
