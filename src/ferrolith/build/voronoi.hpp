// Voronoi cells of grain nodes in a periodic orthorhombic box.
#pragma once

#include "ferrolith/build/vec3.hpp"

#include <array>
#include <cstddef>
#include <vector>

namespace ferrolith::build {

/// One bounding plane of a Voronoi cell, relative to the cell's node: a point at
/// displacement x from the node belongs to the cell when normal·x ≤ distance.
struct CellPlane {
    Vec3 normal{};         ///< unit normal pointing out of the cell
    double distance = 0.0; ///< from the node to the plane (Å), half the node spacing
    /// Whether points on the plane belong to this cell. Of the two cells sharing a
    /// plane exactly one is inclusive, so a point on a face goes to one grain only.
    bool inclusive = false;
    std::size_t neighbor = 0;   ///< node on the other side
    std::array<int, 3> image{}; ///< periodic image of that node (box lengths)
};

/// The Voronoi cell of one node: the points nearer to it than to any other node
/// or periodic image of a node.
struct VoronoiCell {
    /// Planes of the faces, plus planes that only touch the cell at an edge or a
    /// vertex (they settle ties there); every point of the cell satisfies them all.
    std::vector<CellPlane> planes;
    std::vector<Vec3> vertices; ///< corners relative to the node (Å)
    double volume = 0.0;        ///< Å³
};

/// A convex polyhedron kept as its faces (ordered polygons), clipped plane by plane.
/// Faces live in flat arrays reused from clip to clip, so clipping allocates
/// nothing once the arrays have grown.
class ConvexPolyhedron {
public:
    /// The box [−h, h] (componentwise, Å) around the origin; its six faces carry the
    /// plane ids 0..5 (−x, +x, −y, +y, −z, +z).
    explicit ConvexPolyhedron(const Vec3& half);

    /// Starts again from the box [−h, h] (see the constructor), keeping the storage.
    void reset(const Vec3& half);

    /// What a clip did to the polyhedron.
    enum class ClipResult { kOutside, kTouch, kCut };

    /// Keeps the part with normal·x ≤ distance (normal a unit vector). Vertices within
    /// `cut_tolerance` (Å) of the plane count as on it. Returns kOutside when the plane
    /// stays more than `touch_tolerance` (Å) away, kTouch when it only grazes the
    /// polyhedron, kCut when it cut off a piece; the new face carries `plane_id`.
    ClipResult clip(const Vec3& normal, double distance, int plane_id, double cut_tolerance,
                    double touch_tolerance);

    /// The largest value of normal·x − distance over the vertices (Å).
    double max_signed_distance(const Vec3& normal, double distance) const;

    /// The largest distance of a vertex from the origin (Å).
    double max_vertex_distance() const;
    /// Ids of the planes that carry a face.
    std::vector<int> face_plane_ids() const { return face_id_; }
    /// Distinct vertices (Å), duplicates within `tolerance` merged.
    std::vector<Vec3> vertices(double tolerance) const;
    /// Enclosed volume (Å³).
    double volume() const;

private:
    // Face f has the plane id face_id_[f] and the polygon
    // verts_[start_[f] .. start_[f + 1]).
    std::vector<Vec3> verts_;
    std::vector<std::size_t> start_;
    std::vector<int> face_id_;
    // Scratch space of clip().
    std::vector<Vec3> next_verts_;
    std::vector<std::size_t> next_start_;
    std::vector<int> next_id_;
    std::vector<Vec3> cap_;
    std::vector<std::pair<double, std::size_t>> by_angle_;
};

/// Voronoi cells of `nodes` (Å, inside the box) in the periodic box with edge
/// lengths `box` (Å). Nodes must be pairwise distinct under periodicity. Cost is
/// linear in the number of nodes for evenly spread nodes (a bin grid limits each
/// cell's candidate neighbours).
std::vector<VoronoiCell> periodic_voronoi(const std::vector<Vec3>& nodes, const Vec3& box);

} // namespace ferrolith::build
