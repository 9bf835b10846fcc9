#include <GraphMol/Conformer.h>
#include <GraphMol/Depictor/RDDepictor.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "korvane/common/molecule.hpp"
#include "korvane/layout/atom_layout.hpp"
#include "korvane/layout/symmetry.hpp"

using namespace korvane;
using namespace korvane::layout;

namespace {

double dist(const Point& a, const Point& b) { return std::hypot(a[0] - b[0], a[1] - b[1]); }

bool all_finite(const Coords& c) {
  for (const Point& p : c)
    if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return false;
  return true;
}

std::unique_ptr<RDKit::RWMol> mol(const std::string& smiles) {
  auto m = prepare_molecule(smiles);
  if (!m) throw std::runtime_error("test SMILES does not parse: " + smiles);
  return m;
}

}  // namespace

// The preferred generator returns NaN for every atom of a hydrogen-only molecule.
TEST(Depiction, HydrogenOnlyMoleculesGetFinitePlaces) {
  for (const char* smiles : {"[H][H]", "[2H][2H]", "[H]", "[H][H].[H][H]"}) {
    SCOPED_TRACE(smiles);
    auto m = mol(smiles);
    const Coords c = depict(*m);
    EXPECT_TRUE(all_finite(c));
    EXPECT_EQ(m->getNumConformers(), 1u);
    EXPECT_EQ(conformer_coords(*m), c);
    EXPECT_TRUE(RDDepict::preferCoordGen);  // the fallback leaves the preference on
  }
  auto h2 = mol("[H][H]");
  const Coords c = depict(*h2);
  EXPECT_NEAR(dist(c[0], c[1]), 1.5, 1e-12);  // RDKit's bond length
}

TEST(Depiction, PrefersTheCoordinateGeneratorAndReplacesConformers) {
  auto m = mol("c1ccc(cc1)[N+](=O)[O-]");
  m->addConformer(new RDKit::Conformer(m->getNumAtoms()), true);
  m->addConformer(new RDKit::Conformer(m->getNumAtoms()), true);
  const Coords c = depict(*m);
  EXPECT_EQ(m->getNumConformers(), 1u);
  EXPECT_TRUE(RDDepict::preferCoordGen);

  RDKit::RWMol preferred(*m), own(*m);
  const RDGeom::INT_POINT2D_MAP none;
  RDDepict::compute2DCoords(preferred, &none, true, true, 0, 0, 0, false, false);
  RDDepict::compute2DCoords(own, &none, true, true, 0, 0, 0, false, /*forceRDKit=*/true);
  EXPECT_EQ(conformer_coords(preferred), c);
  EXPECT_NE(conformer_coords(own), c);
}

TEST(SeparateCoincident, JittersLaterAtomsTheSameWayEveryCall) {
  const Coords start = {{0.0, 0.0}, {0.0, 0.0}, {5.0, 5.0}, {0.0, 5e-7}, {5.0, 5.0}};
  Coords a = start, b = start;
  separate_coincident(a);
  separate_coincident(b);
  EXPECT_EQ(a, b);  // seeded afresh on each call
  EXPECT_EQ(a[0], start[0]);
  EXPECT_EQ(a[2], start[2]);
  for (int j : {1, 3, 4}) {
    EXPECT_NE(a[j], start[j]);
    EXPECT_LT(dist(a[j], start[j]), 1.0);
  }
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = i + 1; j < a.size(); ++j) EXPECT_GT(dist(a[i], a[j]), 1e-6);

  Coords apart = {{0.0, 0.0}, {1e-6, 0.0}};  // exactly at the threshold: not coincident
  separate_coincident(apart);
  EXPECT_EQ(apart, (Coords{{0.0, 0.0}, {1e-6, 0.0}}));
}

TEST(SeparateCoincident, OffsetsAreNormalWithDeviationOneTenth) {
  // 400 atoms on one spot: each later atom is jittered once, against atom 0.
  Coords c(400, Point{0.0, 0.0});
  separate_coincident(c);
  double sum = 0.0, sum_sq = 0.0, sum_xy = 0.0;
  int beyond_2sd = 0;
  for (std::size_t j = 1; j < c.size(); ++j) {
    for (double v : c[j]) {
      sum += v;
      sum_sq += v * v;
      if (std::fabs(v) > 0.2) ++beyond_2sd;
    }
    sum_xy += c[j][0] * c[j][1];
  }
  const double count = 2.0 * (c.size() - 1);
  const double sd = std::sqrt(sum_sq / count);
  EXPECT_NEAR(sum / count, 0.0, 0.015);
  EXPECT_NEAR(sd, 0.1, 0.01);
  EXPECT_NEAR(sum_xy / (count / 2) / (sd * sd), 0.0, 0.15);  // x and y uncorrelated
  EXPECT_NEAR(beyond_2sd / count, 0.0455, 0.02);             // normal tails, not uniform
}

TEST(AtomLayout, SingleAtomKeepsItsDepiction) {
  for (const char* smiles : {"[Na+]", "[H]"}) {
    SCOPED_TRACE(smiles);
    auto m = mol(smiles);
    RDKit::RWMol copy(*m);
    const AtomLayout layout = compute_atom_layout(*m);
    EXPECT_EQ(layout.coords, depict(copy));
    EXPECT_EQ(layout.ranks, (std::vector<int>{0}));
  }
}

TEST(AtomLayout, RepeatsBitForBitAndLeavesTheDepictionInTheMolecule) {
  auto m = mol("Cc1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]");
  RDKit::RWMol copy(*m);
  const LayoutParams quick{120};
  const AtomLayout first = compute_atom_layout(*m, quick);
  const AtomLayout second = compute_atom_layout(*m, quick);
  EXPECT_EQ(first.coords, second.coords);
  EXPECT_EQ(first.ranks, second.ranks);
  EXPECT_EQ(first.ranks, symmetry_classes(copy));
  EXPECT_EQ(m->getNumConformers(), 1u);
  EXPECT_EQ(conformer_coords(*m), depict(copy));
  EXPECT_TRUE(all_finite(first.coords));
}

TEST(AtomLayout, NoIterationsIsTheDepictionAlignedAndMirrored) {
  auto m = mol("CC(=NO)C");
  RDKit::RWMol copy(*m);
  const AtomLayout layout = compute_atom_layout(*m, LayoutParams{0});

  Coords c = depict(copy);
  const auto ranks = symmetry_classes(copy);
  Coords expected = pca_align(c);
  enforce_mirror(expected, ranks, 1);
  enforce_mirror(expected, ranks, 0);
  EXPECT_EQ(layout.coords, expected);
}

TEST(AtomLayout, SpringsReachTheBondLengthAndBondedPairsDoNotRepel) {
  // A repulsion cut-off of 2.4 would push the pair further apart if it applied.
  auto h2 = mol("[H][H]");
  const AtomLayout l = compute_atom_layout(*h2, LayoutParams{600, 2.0, 1.2, 0.06, 0.05});
  ASSERT_EQ(l.coords.size(), 2u);
  EXPECT_NEAR(std::fabs(l.coords[0][0]), 1.0, 1e-12);
  EXPECT_EQ(l.coords[1][0], -l.coords[0][0]);  // mirrored across the y-axis
  EXPECT_EQ(l.coords[0][1], 0.0);
  EXPECT_EQ(l.coords[1][1], 0.0);
}

TEST(AtomLayout, UnbondedPartsRepelOnlyWithinTheCutOff) {
  // The ions are depicted closer than the cut-off target_bond_len * repulsion_factor
  // and are pushed to it; nothing holds them closer or drives them further.
  for (const auto& [target, factor] : {std::pair{1.5, 1.2}, std::pair{2.0, 1.5}}) {
    auto salt = mol("[Na+].[Cl-]");
    RDKit::RWMol copy(*salt);
    ASSERT_LT(dist(depict(copy)[0], depict(copy)[1]), target * factor);
    const AtomLayout l = compute_atom_layout(*salt, LayoutParams{600, target, factor, 0.06, 0.05});
    EXPECT_NEAR(dist(l.coords[0], l.coords[1]), target * factor, 1e-12);
  }
}

TEST(AtomLayout, AtomsTwoBondsApartRepel) {
  // Water with a cut-off (3.0) longer than two bonds: the hydrogens push each other
  // until the molecule is straight.
  auto water = mol("O");
  const AtomLayout l = compute_atom_layout(*water, LayoutParams{600, 1.0, 3.0, 0.06, 0.05});
  const Point& o = l.coords[0];
  const double hh = dist(l.coords[1], l.coords[2]);
  EXPECT_NEAR(hh, dist(o, l.coords[1]) + dist(o, l.coords[2]), 1e-6);
  EXPECT_GT(hh, 2.0);  // bonds stretched beyond their rest length of 1.0
}
