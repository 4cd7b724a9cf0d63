// KIM model driver of ferrolith's machine-learned potential.
//
// A portable model made with this driver holds one parameter file (written by
// `ferrolith kim export`); the driver reads it into the same Model the Python
// calculator evaluates. The simulator supplies one full neighbour list of the
// contributing particles, ghost particles included, within the potential's
// cutoff; each contributing particle's energy depends only on its own
// neighbours, so neighbours of ghost particles are never needed. Forces are
// written on every particle, ghosts included (the simulator adds them back
// to their owners), and the virial of each pair is split between its two
// particles for the per-particle virial.
//
// Units: Å and eV (LAMMPS "metal", ASE). Other requested units are refused by
// declaring ours; the simulator then reports the mismatch.
#include "KIM_ModelDriverHeaders.hpp"

#include "ferrolith/core/neighbors.hpp"
#include "ferrolith/optimization/mlp.hpp"
#include "ferrolith/optimization/mlp_text.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace fo = ferrolith::optimization;

namespace {

/// What one model object keeps between calls.
struct Buffer {
    fo::Model model;
    std::vector<std::string> elements;
    double influence_distance = 0.0;
    double cutoff = 0.0;
    /// Every contributing particle's energy needs only its own neighbours.
    int no_ghost_neighbors = 1;
    fo::Model::AtomScratch scratch;
    std::vector<double> gradient; ///< dE/dr per particle when forces are not asked for
    std::vector<double> atom_virial;

    Buffer(fo::NamedModel named)
        : model(std::move(named.params)), elements(std::move(named.elements)) {
        cutoff = model.descriptor().cutoff();
        influence_distance = cutoff;
    }
};

// An error entry in the KIM log of `object`, with where it was raised.
#define LOG_ERROR_TO(object, message)                                                              \
    (object)->LogEntry(KIM::LOG_VERBOSITY::error, (message), __LINE__, __FILE__)

int compute_arguments_create(KIM::ModelCompute const* const,
                             KIM::ModelComputeArgumentsCreate* const create) {
    using namespace KIM::COMPUTE_ARGUMENT_NAME;
    const KIM::ComputeArgumentName optional[] = {
        partialEnergy, partialForces, partialParticleEnergy, partialVirial, partialParticleVirial};
    for (const auto& name : optional)
        if (create->SetArgumentSupportStatus(name, KIM::SUPPORT_STATUS::optional)) {
            LOG_ERROR_TO(create, "cannot declare the compute arguments");
            return true;
        }
    return false;
}

int compute_arguments_destroy(KIM::ModelCompute const* const,
                              KIM::ModelComputeArgumentsDestroy* const) {
    return false;
}

int compute(KIM::ModelCompute const* const model_compute,
            KIM::ModelComputeArguments const* const args) {
    Buffer* b = nullptr;
    model_compute->GetModelBufferPointer(reinterpret_cast<void**>(&b));
    using namespace KIM::COMPUTE_ARGUMENT_NAME;
    int const* n_particles = nullptr;
    int const* species = nullptr;
    int const* contributing = nullptr;
    double const* x = nullptr;
    double* energy = nullptr;
    double* forces = nullptr;
    double* particle_energy = nullptr;
    double* virial = nullptr;
    double* particle_virial = nullptr;
    if (args->GetArgumentPointer(numberOfParticles, &n_particles) ||
        args->GetArgumentPointer(particleSpeciesCodes, &species) ||
        args->GetArgumentPointer(particleContributing, &contributing) ||
        args->GetArgumentPointer(coordinates, &x) ||
        args->GetArgumentPointer(partialEnergy, &energy) ||
        args->GetArgumentPointer(partialForces, &forces) ||
        args->GetArgumentPointer(partialParticleEnergy, &particle_energy) ||
        args->GetArgumentPointer(partialVirial, &virial) ||
        args->GetArgumentPointer(partialParticleVirial, &particle_virial)) {
        LOG_ERROR_TO(args, "cannot read the compute arguments");
        return true;
    }
    const std::size_t n = static_cast<std::size_t>(*n_particles);
    const int n_species = static_cast<int>(b->elements.size());
    for (std::size_t i = 0; i < n; ++i)
        if (species[i] < 0 || species[i] >= n_species) {
            LOG_ERROR_TO(args, "particle " + std::to_string(i) + " has species code " +
                                   std::to_string(species[i]) +
                                   ", which this model does not define");
            return true;
        }

    const bool gradients = forces || virial || particle_virial;
    double* grad = forces;
    if (gradients && !grad) {
        b->gradient.resize(3 * n);
        grad = b->gradient.data();
    }
    if (grad)
        std::fill(grad, grad + 3 * n, 0.0);
    if (particle_energy)
        std::fill(particle_energy, particle_energy + n, 0.0);
    if (particle_virial)
        std::fill(particle_virial, particle_virial + 6 * n, 0.0);
    fo::Matrix3 w{};
    double total = 0.0;
    auto& neighbors = b->scratch.env.neighbors;
    for (std::size_t i = 0; i < n; ++i) {
        if (!contributing[i])
            continue;
        int count = 0;
        int const* list = nullptr;
        if (args->GetNeighborList(0, static_cast<int>(i), &count, &list)) {
            LOG_ERROR_TO(args, "cannot get the neighbour list of particle " + std::to_string(i));
            return true;
        }
        neighbors.clear();
        for (int k = 0; k < count; ++k) {
            const int j = list[k];
            fo::Neighbor nb{
                j,
                {x[3 * j] - x[3 * i], x[3 * j + 1] - x[3 * i + 1], x[3 * j + 2] - x[3 * i + 2]},
                0.0};
            nb.distance = std::sqrt(nb.vector[0] * nb.vector[0] + nb.vector[1] * nb.vector[1] +
                                    nb.vector[2] * nb.vector[2]);
            if (!std::isfinite(nb.distance)) {
                LOG_ERROR_TO(args, "The positions of particles " + std::to_string(i) + " and " +
                                       std::to_string(j) + " are not finite numbers.");
                return true;
            }
            if (nb.distance < ferrolith::core::kOverlapDistance) {
                LOG_ERROR_TO(args, ferrolith::core::overlap_status(
                                       i, j, nb.distance, ferrolith::core::kOverlapDistance)
                                       .error);
                return true;
            }
            // the simulator's list reaches past the cutoff by its skin
            if (nb.distance < b->cutoff)
                neighbors.push_back(nb);
        }
        const double e = b->model.atom_energy(species, i, b->scratch, gradients ? grad : nullptr, w,
                                              particle_virial);
        total += e;
        if (particle_energy)
            particle_energy[i] = e;
    }
    if (energy)
        *energy = total;
    if (forces)
        for (std::size_t k = 0; k < 3 * n; ++k)
            forces[k] = -forces[k];
    if (virial) {
        // KIM's virial is sum over pairs of r_ij (x) dE/dr_ij, as w is
        virial[0] = w[0][0];
        virial[1] = w[1][1];
        virial[2] = w[2][2];
        virial[3] = 0.5 * (w[1][2] + w[2][1]);
        virial[4] = 0.5 * (w[0][2] + w[2][0]);
        virial[5] = 0.5 * (w[0][1] + w[1][0]);
    }
    return false;
}

int destroy(KIM::ModelDestroy* const model_destroy) {
    Buffer* b = nullptr;
    model_destroy->GetModelBufferPointer(reinterpret_cast<void**>(&b));
    delete b;
    return false;
}

/// The text of the model's one parameter file, or an empty string after
/// logging why it cannot be read.
std::string parameter_text(KIM::ModelDriverCreate* const create) {
    int count = 0;
    create->GetNumberOfParameterFiles(&count);
    if (count != 1) {
        LOG_ERROR_TO(create, "a ferrolith machine-learned potential has one parameter file, this "
                             "model has " +
                                 std::to_string(count));
        return {};
    }
    std::string const* directory = nullptr;
    std::string const* name = nullptr;
    create->GetParameterFileDirectoryName(&directory);
    if (create->GetParameterFileBasename(0, &name)) {
        LOG_ERROR_TO(create, "cannot get the name of the parameter file");
        return {};
    }
    const std::string path = *directory + "/" + *name;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || text.str().empty()) {
        LOG_ERROR_TO(create, "cannot read the parameter file " + path);
        return {};
    }
    return text.str();
}

} // namespace

extern "C" int model_driver_create(KIM::ModelDriverCreate* const create, KIM::LengthUnit const,
                                   KIM::EnergyUnit const, KIM::ChargeUnit const,
                                   KIM::TemperatureUnit const, KIM::TimeUnit const) {
    if (create->SetUnits(KIM::LENGTH_UNIT::A, KIM::ENERGY_UNIT::eV, KIM::CHARGE_UNIT::unused,
                         KIM::TEMPERATURE_UNIT::unused, KIM::TIME_UNIT::unused) ||
        create->SetModelNumbering(KIM::NUMBERING::zeroBased)) {
        LOG_ERROR_TO(create, "cannot declare units and numbering");
        return true;
    }
    const std::string text = parameter_text(create);
    if (text.empty())
        return true;
    auto parsed = fo::parse_model_text(text);
    if (!parsed) {
        LOG_ERROR_TO(create, "the parameter file is not valid" +
                                 (parsed.line ? " (line " + std::to_string(parsed.line) + ")"
                                              : std::string()) +
                                 ": " + parsed.error);
        return true;
    }
    for (std::size_t code = 0; code < parsed.value->elements.size(); ++code) {
        const std::string& element = parsed.value->elements[code];
        const KIM::SpeciesName name(element);
        if (!name.Known() || create->SetSpeciesCode(name, static_cast<int>(code))) {
            LOG_ERROR_TO(create, "element '" + element +
                                     "' of the parameter file is not a KIM "
                                     "species");
            return true;
        }
    }
    std::unique_ptr<Buffer> b;
    try {
        b = std::make_unique<Buffer>(std::move(*parsed.value));
    } catch (const std::bad_alloc&) {
        LOG_ERROR_TO(create, "not enough memory for the model");
        return true;
    }
    create->SetInfluenceDistancePointer(&b->influence_distance);
    create->SetNeighborListPointers(1, &b->cutoff, &b->no_ghost_neighbors);
    using KIM::LANGUAGE_NAME::cpp;
    using namespace KIM::MODEL_ROUTINE_NAME;
    if (create->SetRoutinePointer(ComputeArgumentsCreate, cpp, true,
                                  reinterpret_cast<KIM::Function*>(compute_arguments_create)) ||
        create->SetRoutinePointer(Compute, cpp, true, reinterpret_cast<KIM::Function*>(compute)) ||
        create->SetRoutinePointer(ComputeArgumentsDestroy, cpp, true,
                                  reinterpret_cast<KIM::Function*>(compute_arguments_destroy)) ||
        create->SetRoutinePointer(Destroy, cpp, true, reinterpret_cast<KIM::Function*>(destroy))) {
        LOG_ERROR_TO(create, "cannot register the model routines");
        return true;
    }
    // No parameters are published, so there is nothing to refresh.
    create->SetModelBufferPointer(b.release());
    return false;
}
