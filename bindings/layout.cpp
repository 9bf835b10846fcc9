// Bindings of the layout subsystem: atom layout, symmetry refinement, node directions.
#include <pybind11/numpy.h>

#include <stdexcept>
#include <string>

#include "bindings.hpp"
#include "korvane/layout/angular_slots.hpp"
#include "korvane/layout/atom_layout.hpp"
#include "korvane/layout/depiction.hpp"
#include "korvane/layout/symmetry.hpp"

namespace korvane::bindings {

namespace {

// Coordinates cross as NumPy arrays of shape (n, 2), float64.
using CoordArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

layout::Coords to_coords(const CoordArray& a) {
  if (a.ndim() != 2 || a.shape(1) != 2)
    throw std::invalid_argument("coordinates must be an array of shape (n, 2)");
  layout::Coords coords(static_cast<std::size_t>(a.shape(0)));
  auto r = a.unchecked<2>();
  for (py::ssize_t i = 0; i < a.shape(0); ++i) coords[i] = {r(i, 0), r(i, 1)};
  return coords;
}

CoordArray to_array(const layout::Coords& coords) {
  CoordArray a({static_cast<py::ssize_t>(coords.size()), py::ssize_t{2}});
  auto w = a.mutable_unchecked<2>();
  for (std::size_t i = 0; i < coords.size(); ++i) {
    w(i, 0) = coords[i][0];
    w(i, 1) = coords[i][1];
  }
  return a;
}

}  // namespace

void bind_layout(py::module_& m) {
  using layout::LayoutParams;
  py::class_<LayoutParams>(m, "LayoutParams", "The atom layout's parameters, at their defaults.")
      .def(py::init<>())
      .def_readonly("n_iter", &LayoutParams::n_iter)
      .def_readonly("target_bond_len", &LayoutParams::target_bond_len)
      .def_readonly("repulsion_factor", &LayoutParams::repulsion_factor)
      .def_readonly("k_attr", &LayoutParams::k_attr)
      .def_readonly("k_rep", &LayoutParams::k_rep);
  const LayoutParams defaults;
  m.attr("MIRROR_SNAP_DISTANCE") = layout::kMirrorSnapDistance;
  m.def(
      "compute_atom_layout",
      [](const py::bytes& pickle, int n_iter, double target_bond_len, double repulsion_factor,
         double k_attr, double k_rep) {
        const std::string bytes = pickle;
        layout::Coords depiction;
        layout::AtomLayout result;
        {
          py::gil_scoped_release release;
          auto mol = molecule_from_pickle(bytes);
          result = layout::compute_atom_layout(
              *mol, {n_iter, target_bond_len, repulsion_factor, k_attr, k_rep});
          depiction = layout::conformer_coords(*mol);
        }
        return std::make_tuple(to_array(depiction), to_array(result.coords), result.ranks);
      },
      py::arg("mol"), py::arg("n_iter") = defaults.n_iter,
      py::arg("target_bond_len") = defaults.target_bond_len,
      py::arg("repulsion_factor") = defaults.repulsion_factor, py::arg("k_attr") = defaults.k_attr,
      py::arg("k_rep") = defaults.k_rep,
      "(RDKit depiction, relaxed and symmetrised coordinates, ranks) of a pickled molecule.");
  m.def(
      "symmetry_classes",
      [](const py::bytes& pickle) {
        return with_unpickled(
            pickle, [](const RDKit::ROMol& mol) { return layout::symmetry_classes(mol); });
      },
      py::arg("mol"), "Canonical ranks without tie breaking of a pickled molecule.");
  m.def(
      "radial_equalize",
      [](const CoordArray& coords, const layout::RankGroups& groups) {
        auto c = to_coords(coords);
        {
          py::gil_scoped_release release;
          layout::radial_equalize(c, groups);
        }
        return to_array(c);
      },
      py::arg("coords"), py::arg("groups"),
      "Coordinates with each class moved to its mean distance from its centroid.");
  m.def(
      "pca_align",
      [](const CoordArray& coords) {
        auto c = to_coords(coords);
        layout::Coords rotated;
        {
          py::gil_scoped_release release;
          rotated = layout::pca_align(c);
        }
        return std::make_pair(to_array(c), to_array(rotated));
      },
      py::arg("coords"), "(centred, centred and rotated onto the principal axes) coordinates.");
  m.def(
      "enforce_mirror",
      [](const CoordArray& coords, const std::vector<int>& ranks, int axis, double eps) {
        auto c = to_coords(coords);
        {
          py::gil_scoped_release release;
          layout::enforce_mirror(c, ranks, axis, eps);
        }
        return to_array(c);
      },
      py::arg("coords"), py::arg("ranks"), py::arg("axis"), py::arg("eps"),
      "Coordinates with equivalent atoms made mirror images across one axis.");
  m.def("yerlestir_dugumler", &layout::spread_node_angles, py::arg("n_nodes"),
        py::arg("target_angles"), "Directions of n_nodes orbital nodes round an atom.");
  m.def("angle_diff", &layout::angle_diff, py::arg("a"), py::arg("b"),
        "Shortest angular distance between two directions, in [0, pi].");
}

}  // namespace korvane::bindings
