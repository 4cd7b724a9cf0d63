// Machine-learned interatomic potential: atom-centred descriptors and
// per-element neural networks.
//
// The energy is a sum of atomic energies, E = sum_i E_i, each the output of a
// small feed-forward network of the atom's element fed with a descriptor of
// its neighbourhood. Models may instead hold one network shared by all
// elements, fed with a learned embedding of the central element beside the
// descriptor; it is evaluated as the per-element networks it equals (see
// fold_shared_network). The descriptor holds
//   radial terms   G[a][n]      = sum_{j in a} g_n(r_ij)
//   angular terms  A[a,b][n,m][l] = sum_{j in a, k in b} h_n(r_ij) h_m(r_ik) cos^l(theta_jik)
// for neighbour elements a <= b, Gaussian radial functions g_n, h_n times a
// cosine cutoff, and l = 1..L. The channel pairs (n, m) are either the
// diagonal n = m or all of them (n <= m when a = b, since A is then symmetric).
// The angular sum is computed in linear time from Cartesian moment tensors
// M[a][n] = sum_{j in a} h_n(r_ij) rhat_ij^(x l), since A = <M[a][n], M[b][m]>
// (a full tensor contraction). Forces and the virial follow from the chain
// rule through the same tensors.
//
// Optionally the descriptor also holds four-body terms, full contractions of
// three moment tensors of orders (l1, l2, l3),
//   B[c1,c2,c3] = sum M[c1]_{IJ} M[c2]_{IK} M[c3]_{JK}
// with multi-indices I, J, K of |I| = (l1+l2-l3)/2 and so on (the invariants
// of moment-tensor and ACE-type potentials: angles between the bonds to three
// neighbours, such as the planarity of an sp2 site or the dihedral order of an
// sp3 one). Their channels c mix the elements, M[c] = sum_a w[c][a] M[a][n],
// so that their number stays small.
#pragma once

#include "ferrolith/core/neighbors.hpp"
#include "ferrolith/core/outcome.hpp"
#include "ferrolith/core/vec3.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace ferrolith::optimization {

/// Rows are the cell vectors a1, a2, a3 (Å).
using Matrix3 = core::Mat3;

/// One neighbour of a central atom: its atom index and the vector from the
/// central atom to the neighbour's image (Å); `distance` is its length (Å).
struct Neighbor {
    int index;
    double vector[3];
    double distance;
};

/// Parameters of the descriptor. Radial functions: exp(-eta (r - mu)^2) fc(r)
/// with fc(r) = (cos(pi r / rc) + 1) / 2 for r < rc.
struct DescriptorParams {
    int n_species = 0;                   ///< elements; atoms carry ids 0 .. n_species-1
    double radial_cutoff = 0.0;          ///< rc of the radial terms (Å)
    std::vector<double> radial_centers;  ///< mu of each radial function (Å)
    std::vector<double> radial_eta;      ///< eta of each radial function (Å^-2)
    double angular_cutoff = 0.0;         ///< rc of the angular terms (Å), <= radial_cutoff
    std::vector<double> angular_centers; ///< mu of each angular radial function (Å)
    std::vector<double> angular_eta;     ///< eta of each angular radial function (Å^-2)
    int max_order = 0;                   ///< L: angular orders l = 1 .. L, 1 <= L <= 8
    bool cross_channels = false;         ///< angular terms for all channel pairs (n, m), not n = m
    /// Orders (l1, l2, l3) of the four-body terms: each 1..max_order, l1 <= l2 <= l3 <= l1 + l2,
    /// l1 + l2 + l3 even. Empty for a three-body descriptor.
    std::vector<std::array<int, 3>> four_body_orders;
    /// Element weights of the four-body channels: one row of n_species weights per mixture.
    std::vector<std::vector<double>> four_body_mixtures;
    /// Four-body terms for all triples of angular functions (n1, n2, n3), not only n1 = n2 = n3.
    bool four_body_cross = false;
};

/// Fails when the parameters are inconsistent (sizes, signs).
core::Status validate_descriptor(const DescriptorParams& p);

/// A structure as the kernels read it: n atoms with species ids and
/// positions (n×3 row-major, Å), cell rows (Å) and periodic flags.
struct StructureView {
    const double* positions = nullptr;
    const int* species = nullptr;
    std::size_t n = 0;
    Matrix3 cell{};
    std::array<bool, 3> pbc{};
    /// Neighbours of one atom beyond which the structure is refused as far
    /// too dense (see core::NeighborQuery::max_neighbors); 0 for no limit.
    std::size_t max_neighbors = core::kDefaultMaxNeighbors;
};

/// Per-thread scratch space of the descriptor of one atom.
struct EnvironmentScratch {
    std::vector<Neighbor> neighbors;
    std::vector<double> radial;         ///< g_n, g_n' per neighbour (2 nr each)
    std::vector<double> angular;        ///< h_n, h_n' per neighbour (2 na each), 0 outside rc_a
    std::vector<double> monomials;      ///< u_s(rhat) per neighbour (S each)
    std::vector<double> monomial_grad;  ///< grad u_s(rhat) per neighbour (3 S each)
    std::vector<double> radial_sums;    ///< G[a][n]
    std::vector<double> moments;        ///< M[a][n][s]
    std::vector<double> radial_adj;     ///< dE/dG[a][n]
    std::vector<double> moment_adj;     ///< dE/dM[a][n][s]
    std::vector<double> moment_tangent; ///< dM[a][n][s] along a displacement
    std::vector<double> mixed;          ///< four-body channels M[c][n][s]
    std::vector<double> mixed_adj;      ///< dE/dM[c][n][s]
    std::vector<double> mixed_tangent;  ///< dM[c][n][s] along a displacement
};

/// The descriptor of the local environment of every atom.
class Descriptor {
public:
    /// `params` must have passed validate_descriptor.
    explicit Descriptor(DescriptorParams params);

    const DescriptorParams& params() const { return p_; }
    /// Descriptor entries per atom.
    std::size_t size() const { return size_; }
    /// Largest cutoff of the descriptor (Å).
    double cutoff() const { return p_.radial_cutoff; }

    /// Descriptors of all atoms into `out` (n × size(), row-major).
    core::Status compute(const StructureView& s, std::vector<double>& out) const;

    /// Vector-Jacobian product: with `grad_desc` = dE/dD (n × size()), writes
    /// dE/dr of every atom into `grad_pos` (n×3, eV/Å) and the virial
    /// W_ab = sum over pairs of r_ij,a dE/dr_ij,b into `virial` (eV), whose
    /// symmetric part over the volume is the stress.
    core::Status backward(const StructureView& s, const double* grad_desc,
                          std::vector<double>& grad_pos, Matrix3& virial) const;

    /// Jacobian-vector product: the change of every descriptor (n × size())
    /// when the atoms move by `displacement` (n×3, Å) and every interatomic
    /// vector r_ij is strained by r_ij -> r_ij + strain r_ij to first order.
    core::Status tangent(const StructureView& s, const double* displacement, const Matrix3& strain,
                         std::vector<double>& out) const;

    // Building blocks for fused evaluation; `ws` is reused between atoms.
    // The neighbours of one atom may come from our own search (gather) or
    // from a simulator's list (a caller filling ws.neighbors itself, with
    // indices into its own arrays, ghost atoms included): environment and
    // scatter read only ws.neighbors and the species of those indices.

    /// Builds the full neighbour list of `s` within the cutoff (one search
    /// for all kernels: atoms closer than core::kOverlapDistance, non-finite
    /// input, cells without volume and far too dense structures fail), or
    /// fails for a species id out of range.
    core::Status neighbor_list(const StructureView& s, core::NeighborList& list) const;
    /// Copies the neighbours of atom i from `list` into ws.neighbors, indexed
    /// by the caller's atom order.
    void gather(const core::NeighborList& list, std::size_t i, EnvironmentScratch& ws) const;
    /// Fills the scratch space of the atom whose neighbours ws.neighbors
    /// holds (every one closer than cutoff(), species[index] valid) and its
    /// descriptor `desc` (size()). Reorders ws.neighbors.
    void environment(const int* species, EnvironmentScratch& ws, double* desc) const;
    /// Adds the gradient of sum_k grad_desc[k] D_i[k] to grad_pos (3 per
    /// neighbour index, and for i) and to `virial`, for the atom i whose
    /// environment `ws` holds. When `atom_virial` is non-null, each pair's
    /// share of the virial is also split half and half between i and the
    /// neighbour (6 per index, Voigt order xx yy zz yz xz xy, eV).
    void scatter(const int* species, std::size_t i, const double* grad_desc, EnvironmentScratch& ws,
                 double* grad_pos, Matrix3& virial, double* atom_virial = nullptr) const;

private:
    DescriptorParams p_;
    std::size_t size_ = 0;
    // Monomials x^p y^q z^t of order l = p+q+t in 1..L with their multinomial
    // weight l!/(p!q!t!), so that sum_s w_s u_s(x) u_s(y) = (x.y)^l.
    struct Monomial {
        int p, q, t, order;
        double weight;
    };
    std::vector<Monomial> monomials_;
    // Channel pairs (n, m) of the angular terms of one element pair: for equal
    // elements and for different ones (identical unless cross_channels).
    struct ChannelPair {
        std::size_t n, m;
    };
    std::vector<ChannelPair> same_pairs_, mixed_pairs_;
    std::vector<std::size_t> offsets_; ///< start of the angular block of (a, b), ns × ns

    // One product w M1[i1] M2[i2] M3[i3] of a contraction of three moment
    // tensors, i indexing monomials_.
    struct ContractionTerm {
        double weight;
        std::size_t i1, i2, i3;
    };
    // One four-body entry: the terms of its orders, and its three channels
    // (mixture k, angular function n) as offsets into the mixed moments.
    struct FourBodyEntry {
        std::size_t contraction;
        std::size_t c1, c2, c3;
    };
    std::vector<std::vector<ContractionTerm>> contractions_; ///< per entry of four_body_orders
    std::vector<FourBodyEntry> four_body_;
    std::size_t four_body_offset_ = 0; ///< first four-body entry of the descriptor

    std::size_t angular_offset(int a, int b) const;
    std::size_t monomial_index(int p, int q, int t) const;
    void build_four_body();
    /// Mixed moments ws.mixed from ws.moments, and the four-body entries into desc.
    void four_body_forward(EnvironmentScratch& ws, double* desc) const;
    /// Adds the adjoint of the four-body entries (dE/dB in grad) to ws.moment_adj.
    void four_body_adjoint(const double* grad, EnvironmentScratch& ws) const;
    /// Adds the change of the four-body entries along ws.moment_tangent to out.
    void four_body_tangent(EnvironmentScratch& ws, double* out) const;
    const std::vector<ChannelPair>& channel_pairs(int a, int b) const {
        return a == b ? same_pairs_ : mixed_pairs_;
    }
};

/// Activation between the hidden layers of the networks.
enum class Activation { kTanh, kSilu };

/// One dense layer y = W x + b, W stored row-major (n_out × n_in).
struct DenseLayer {
    int n_in = 0, n_out = 0;
    std::vector<double> weight;
    std::vector<double> bias;
};

/// The network of one element: hidden layers with the activation, then a
/// linear layer with one output. Inputs are standardised first.
struct SpeciesNetwork {
    std::vector<DenseLayer> layers;
    std::vector<double> input_mean;  ///< subtracted from each descriptor entry
    std::vector<double> input_scale; ///< then multiplied by this (1/std)
    double energy_shift = 0.0;       ///< atomic reference energy (eV)
};

/// Everything a trained potential holds.
struct ModelParams {
    DescriptorParams descriptor;
    std::vector<SpeciesNetwork> networks; ///< one per species id
    Activation activation = Activation::kTanh;
    double energy_scale = 1.0; ///< E_i = energy_shift + energy_scale * network output (eV)
};

/// One network for all elements. Its first layer reads the standardised
/// descriptor followed by the embedding vector of the central atom's element.
struct SharedNetwork {
    std::vector<DenseLayer> layers;
    std::vector<double> input_mean;              ///< of the descriptor entries
    std::vector<double> input_scale;             ///< 1/std of the descriptor entries
    std::vector<std::vector<double>> embeddings; ///< one vector per species id
    std::vector<double> energy_shifts;           ///< atomic reference energy per species id (eV)
};

/// The per-element networks that give the shared network's atomic energies:
/// the embedding's share of the first layer, W_e e, is a constant of each
/// element and becomes part of its bias. Fails for inconsistent sizes or
/// non-finite embeddings (the layers are checked by validate_model).
core::Outcome<std::vector<SpeciesNetwork>> fold_shared_network(const SharedNetwork& shared,
                                                               std::size_t descriptor_size);

/// Fails when the networks do not fit the descriptor or each other.
core::Status validate_model(const ModelParams& p);

/// Energy, per-atom energies, forces and virial of one structure.
struct Evaluation {
    double energy = 0.0;          ///< eV
    std::vector<double> energies; ///< per atom (eV)
    std::vector<double> forces;   ///< n×3 (eV/Å)
    Matrix3 virial{};             ///< symmetrised sum_ij r_ij (x) dE/dr_ij (eV)
};

/// A trained potential ready to evaluate.
class Model {
public:
    /// `params` must have passed validate_model.
    explicit Model(ModelParams params);

    const ModelParams& params() const { return p_; }
    const Descriptor& descriptor() const { return descriptor_; }

    /// Energy (and forces and virial when `gradients`) of structure `s`.
    core::Status evaluate(const StructureView& s, bool gradients, Evaluation& out) const;

    /// Atomic energy of an atom of species `species` with descriptor `desc`
    /// (eV); when `grad` is non-null it receives dE_i/dD (size()).
    double atomic_energy(int species, const double* desc, double* grad) const;

    /// Activations of one network pass, reused between atoms.
    struct NetworkScratch {
        std::vector<std::vector<double>> act;   ///< act[l]: input of layer l (l >= 1)
        std::vector<std::vector<double>> slope; ///< activation slopes per layer
        std::vector<double> delta, below;       ///< backward pass
    };
    /// Scratch space of one atom's energy and gradient, reused between atoms.
    struct AtomScratch {
        EnvironmentScratch env; ///< env.neighbors: the atom's neighbours, filled by the caller
        NetworkScratch net;
        std::vector<double> desc, grad;
    };

    /// Energy E_i (eV) of atom i, whose neighbours ws.env.neighbors holds
    /// (see Descriptor::environment; indices into `species` and `grad_pos`).
    /// When `grad_pos` is non-null, dE_i/dr of i and of each neighbour is
    /// added to it (eV/Å) and the pair terms to `virial` and, if non-null,
    /// `atom_virial` (see Descriptor::scatter). The one evaluation of an atom
    /// for our own neighbour search and a simulator's.
    double atom_energy(const int* species, std::size_t i, AtomScratch& ws, double* grad_pos,
                       Matrix3& virial, double* atom_virial = nullptr) const;

private:
    /// A layer as evaluated: the forward pass reads the weights input-major
    /// (W^T, n_in × n_out), so that its inner loop runs over outputs without
    /// a reduction and vectorises; the backward pass reads W (n_out × n_in).
    struct FastLayer {
        int n_in = 0, n_out = 0;
        std::vector<double> weight, weight_t, bias;
    };
    /// A network with the input standardisation folded into its first layer.
    struct FastNetwork {
        std::vector<FastLayer> layers;
        double energy_shift = 0.0;
    };
    double run_network(int species, const double* desc, double* grad, NetworkScratch& ws) const;

    ModelParams p_;
    Descriptor descriptor_;
    std::vector<FastNetwork> fast_;
};

} // namespace ferrolith::optimization
