// The atom layout: RDKit's depiction, the separation of coincident atoms, the
// relaxation and its pair search.
#include <GraphMol/Conformer.h>
#include <GraphMol/Depictor/RDDepictor.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvane/common/molecule.hpp"
#include "korvane/layout/atom_layout.hpp"
#include "korvane/layout/coordgen_heap.hpp"
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

// RDKit's Python package sets RDBASE, and then every call of the coordinate generator
// writes its template directory into process-wide storage: concurrent depictions must
// not corrupt the heap (the sanitized build reports it) and give the serial coordinates.
TEST(Depiction, ConcurrentDepictionsGiveTheSerialCoordinates) {
  const char* had = std::getenv("RDBASE");
  const std::string before = had != nullptr ? had : "";
  ::setenv("RDBASE", "/usr/share/RDKit", /*overwrite=*/1);
  const std::vector<std::string> smiles = {"CCO", "c1ccccc1O", "C1CC2CCC1C2", "CC(=O)N",
                                           "OC(=O)c1ccncc1", "C1C2CC3CC1CC(C2)C3"};
  std::vector<Coords> serial;
  for (const auto& s : smiles) {
    auto m = mol(s);
    serial.push_back(depict(*m));
  }
  constexpr int kThreads = 8, kRounds = 40;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t)
    pool.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r)
        for (std::size_t i = 0; i < smiles.size(); ++i) {
          const std::size_t k = (i + static_cast<std::size_t>(t)) % smiles.size();
          auto m = mol(smiles[k]);
          if (depict(*m) != serial[k]) ++mismatches[static_cast<std::size_t>(t)];
        }
    });
  for (auto& th : pool) th.join();
  if (had != nullptr)
    ::setenv("RDBASE", before.c_str(), 1);
  else
    ::unsetenv("RDBASE");
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0);
}

// The coordinate generator ranks some objects by their addresses: a metal complex or a
// large fused ring system was depicted differently after other depictions had reused
// the allocator's memory differently. Its objects now come from an ordered heap.
TEST(Depiction, MetalComplexesAndFusedRingsGetTheSameDepictionAfterAnyHistory) {
  EXPECT_TRUE(coordgen_heap_installed());
  const std::vector<std::string> varying = {
      "C12C3=C4C5=C1[Fe]23456789C%10C6=C7C8=C9%10",  // ferrocene
      "CC1=[O+][Al]23([O+]=C(C)C1)([O+]=C(C)CC(=[O+]2)C)[O+]=C(C)CC(=[O+]3)C",
      "C1CN[Co]23(N1)(NCCN2)NCCN3",
      "CC(=C)C1CCC2(C)CCC3(C)C(CCC4C5(C)CCC(O)C(C)(C)C5CCC34C)C12"};
  const std::vector<std::string> others = {"CCO", "c1ccccc1O", "C1CC2CCC1C2",
                                           "OC(=O)c1ccncc1", "CC(C)(C)c1ccc(O)cc1"};
  std::vector<Coords> first;
  for (const auto& s : varying) {
    auto m = mol(s);
    first.push_back(depict(*m));
  }
  for (int round = 0; round < 4; ++round) {
    for (std::size_t k = 0; k < others.size(); k += static_cast<std::size_t>(1 + round % 2)) {
      auto m = mol(others[k]);
      depict(*m);
    }
    for (std::size_t i = 0; i < varying.size(); ++i) {
      const std::size_t j = (i + static_cast<std::size_t>(round)) % varying.size();
      SCOPED_TRACE(varying[j]);
      auto m = mol(varying[j]);
      EXPECT_EQ(depict(*m), first[j]);
    }
  }
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

namespace {

// Equal bit for bit, NaN included (both scans must spread a NaN the same way).
bool same_coords(const Coords& a, const Coords& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    for (int k = 0; k < 2; ++k)
      if (!(a[i][k] == b[i][k] || (std::isnan(a[i][k]) && std::isnan(b[i][k])))) return false;
  return true;
}

LayoutParams with_scan(PairScan scan, LayoutParams p = {}) {
  p.pair_scan = scan;
  return p;
}

// Lays `depiction` out with both scans, each with and without the neighbour list, and
// expects the coordinates of the plainest way (every pair at every step), `==` per double.
void expect_scans_agree(const RDKit::ROMol& m, const Coords& depiction, LayoutParams p = {}) {
  LayoutParams plain = with_scan(PairScan::AllPairs, p);
  plain.reuse_pairs = false;
  const AtomLayout reference = layout_from_depiction(m, depiction, plain);
  for (const PairScan scan : {PairScan::AllPairs, PairScan::Grid}) {
    for (const bool reuse : {false, true}) {
      SCOPED_TRACE(std::string(scan == PairScan::Grid ? "grid" : "all pairs") +
                   (reuse ? ", neighbour list" : ""));
      LayoutParams q = with_scan(scan, p);
      q.reuse_pairs = reuse;
      const AtomLayout other = layout_from_depiction(m, depiction, q);
      EXPECT_TRUE(same_coords(reference.coords, other.coords));
      EXPECT_EQ(reference.ranks, other.ranks);
    }
  }
}

std::string repeat(const std::string& unit, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += unit;
  return s;
}

}  // namespace

TEST(AtomLayoutPairScan, GridMatchesAllPairsOnRealMolecules) {
  const std::string salt = "CCCC[N+](CCCC)(CCCC)CCCC.[Br-].[Na+].[Cl-]";
  for (const std::string& smiles :
       {repeat("C", 200), salt, std::string("c1ccc2ccccc2c1"), std::string("O"),
        std::string("CC(C)(C)c1cc(C(C)(C)C)c(O)c(C(C)(C)C)c1"), repeat("NCC(=O)", 20) + "O"}) {
    SCOPED_TRACE(smiles.substr(0, 40));
    auto m = mol(smiles);
    const Coords depiction = depict(*m);
    expect_scans_agree(*m, depiction);
    // The automatic choice is one of the two and so gives the same result as well.
    EXPECT_EQ(layout_from_depiction(*m, depiction).coords,
              layout_from_depiction(*m, depiction, with_scan(PairScan::AllPairs)).coords);
  }
  // compute_atom_layout is the depiction followed by the layout.
  auto m = mol(salt);
  RDKit::RWMol copy(*m);
  EXPECT_EQ(compute_atom_layout(*m).coords, layout_from_depiction(copy, depict(copy)).coords);
}

TEST(AtomLayoutPairScan, BigAlkaneRepelsAcrossManyCells) {
  // A long chain folded onto itself by hand, so that distant atoms (by index and
  // along the chain) start within the cut-off of each other in neighbouring cells.
  auto m = mol(repeat("C", 60));
  Coords depiction(m->getNumAtoms());
  for (std::size_t i = 0; i < depiction.size(); ++i) {
    const double t = static_cast<double>(i);
    depiction[i] = {std::fmod(t * 0.37, 9.0), std::floor(t * 0.37 / 9.0) * 0.9 + 0.01 * t};
  }
  expect_scans_agree(*m, depiction);
  // Without the repulsion the result differs, so the pairs did act.
  const LayoutParams no_repulsion{600, 1.5, 1.2, 0.06, 0.0};
  EXPECT_NE(layout_from_depiction(*m, depiction, no_repulsion).coords,
            layout_from_depiction(*m, depiction).coords);
}

TEST(AtomLayoutPairScan, NeighbourListFollowsAtomsThatMoveFar) {
  // Depictions squeezed to a fifth and to a fiftieth: the repulsion and the bonds drive
  // the atoms many margins of the list from where it was first built, so the list has
  // to be rebuilt often, and pairs first far apart come within the cut-off later.
  for (const std::string& smiles :
       {std::string("CC(C)(C)c1cc(C(C)(C)C)c(O)c(C(C)(C)C)c1"), repeat("C", 120),
        std::string("OCC(O)C(O)C(O)C(O)C=O")}) {
    SCOPED_TRACE(smiles.substr(0, 40));
    auto m = mol(smiles);
    const Coords depiction = depict(*m);
    for (const double squeeze : {0.2, 0.02}) {
      Coords small = depiction;
      for (Point& q : small) q = {q[0] * squeeze, q[1] * squeeze};
      expect_scans_agree(*m, small);
      expect_scans_agree(*m, small, LayoutParams{37});
      // The atoms did travel: the molecule grew back to bond lengths near 1.5.
      const AtomLayout l = layout_from_depiction(*m, small);
      double far = 0.0;
      for (const Point& q : l.coords) far = std::max(far, std::hypot(q[0], q[1]));
      EXPECT_GT(far, 1.5);
    }
  }
}

TEST(AtomLayoutPairScan, PairsAtExactlyTheCutOffExertNoForceInEitherScan) {
  // Unbonded atoms on a square lattice with spacing exactly the cut-off (1.875, so
  // that every multiple is exact): no force, so only the alignment and mirroring move
  // them. Spacing 2^-40 less: every neighbour pair repels, across cell boundaries too.
  const int side = 9;
  auto m = mol(repeat("[Ar].", side * side - 1) + "[Ar]");
  const LayoutParams one_step{1, 1.5, 1.25, 0.06, 0.05}, none{0, 1.5, 1.25, 0.06, 0.05};
  const double cut_off = 1.5 * 1.25;
  for (const double spacing : {cut_off, cut_off - std::ldexp(1.0, -40)}) {
    SCOPED_TRACE(spacing);
    Coords lattice;
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) lattice.push_back({x * spacing, y * spacing});
    expect_scans_agree(*m, lattice, one_step);
    LayoutParams full = one_step;
    full.n_iter = 600;
    expect_scans_agree(*m, lattice, full);
    const AtomLayout stepped = layout_from_depiction(*m, lattice, one_step);
    const AtomLayout still = layout_from_depiction(*m, lattice, none);
    if (spacing == cut_off)
      EXPECT_EQ(stepped.coords, still.coords);
    else
      EXPECT_NE(stepped.coords, still.coords);
  }
}

TEST(AtomLayoutPairScan, CoincidentAtomsAreJitteredThenScannedAlike) {
  // Several atoms of a ring system depicted on one spot (and two more on another).
  auto m = mol("c1ccc2cc3ccccc3cc2c1");
  Coords depiction = depict(*m);
  for (int j : {3, 7, 12}) depiction[j] = depiction[0];
  depiction[20] = depiction[5];
  expect_scans_agree(*m, depiction);
  expect_scans_agree(*m, depiction, LayoutParams{60});

  // Atoms on one vertical line (equal x) are not coincident; the pair 3, 40 is.
  Coords line(50);
  for (std::size_t i = 0; i < line.size(); ++i) line[i] = {1.0, 0.5 * static_cast<double>(i)};
  line[40] = line[3];
  Coords jittered = line;
  separate_coincident(jittered);
  for (std::size_t i = 0; i < line.size(); ++i)
    if (i == 40)
      EXPECT_NE(jittered[i], line[i]);
    else
      EXPECT_EQ(jittered[i], line[i]);
}

TEST(AtomLayoutPairScan, NonFiniteAndHugeCoordinatesNeitherExplodeNorDiffer) {
  auto m = mol("CCCCOCCCCN");
  const Coords base = depict(*m);
  for (const Point bad : {Point{NAN, 0.0}, Point{0.0, NAN}, Point{INFINITY, 1.0},
                          Point{1e300, -1e300}, Point{1e6, 0.0}, Point{-1e-300, 1e15}}) {
    SCOPED_TRACE(bad[0]);
    Coords depiction = base;
    depiction[4] = bad;  // a grid over this extent at the cut-off would need ~1e600 cells
    expect_scans_agree(*m, depiction, LayoutParams{80});
  }
  // A cut-off of zero or next to it is followed by both scans alike; one that is not
  // finite or is negative is refused.
  for (const double factor : {0.0, 1e-12}) {
    SCOPED_TRACE(factor);
    expect_scans_agree(*m, base, LayoutParams{80, 1.5, factor, 0.06, 0.05});
  }
  for (const double factor : {-1.0, double(INFINITY), double(NAN)})
    EXPECT_THROW(layout_from_depiction(*m, base, LayoutParams{80, 1.5, factor, 0.06, 0.05}),
                 std::invalid_argument);
}

TEST(AtomLayoutPairScan, DepictionMustHaveOneRowPerAtom) {
  auto m = mol("CCO");
  EXPECT_THROW(layout_from_depiction(*m, Coords(2)), std::invalid_argument);
}

TEST(AtomLayoutRanks, RanksMadeBeforehandGiveTheSameLayout) {
  // The symmetry ranks made before the depiction (on a copy of the molecule, as the
  // analysis's helper makes them) stand for the ones the layout makes itself.
  for (const char* smiles : {"CC(C)(C)c1cc(C(C)(C)C)c(O)c(C(C)(C)C)c1", "c1ccc2ccccc2c1",
                             "OC(=O)[C@@H](N)Cc1ccccc1", "O"}) {
    SCOPED_TRACE(smiles);
    auto m = mol(smiles);
    std::vector<int> ranks = symmetry_classes(RDKit::RWMol(*m));
    const Coords depiction = depict(*m);
    const AtomLayout own = layout_from_depiction(*m, depiction);
    const AtomLayout given = layout_from_depiction(*m, depiction, {}, ranks);
    EXPECT_EQ(given.ranks, own.ranks);
    EXPECT_EQ(given.coords, own.coords);
  }
  auto m = mol("CCO");
  EXPECT_THROW(layout_from_depiction(*m, depict(*m), {}, std::vector<int>{0, 1}),
               std::invalid_argument);
}
