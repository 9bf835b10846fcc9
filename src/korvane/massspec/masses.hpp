// Nominal and average masses, molecular formulas and pair labels of atom sets of a
// molecule with explicit hydrogens (hydrogens count like any other atom).
#pragma once
#include <GraphMol/ROMol.h>

#include <string>
#include <vector>

namespace korvane::massspec {

// Mass number of the element's most common isotope in RDKit's periodic table
// (12 for C, 35 for Cl, 79 for Br). Throws std::invalid_argument for an atomic
// number the table does not hold.
int nominal_atom_mass(int atomic_num);

// Nominal mass of one atom: the mass number of its isotope label when it carries one
// ([2H] counts 2, [13C] 13), else nominal_atom_mass of its element.
int atom_nominal_mass(const RDKit::Atom& atom);

// Returns the atom at this index; std::out_of_range when it lies outside the molecule.
const RDKit::Atom& atom_at(const RDKit::ROMol& mol, int atom_index);

// Atomic number of each listed atom, in the order given.
std::vector<int> atomic_numbers(const RDKit::ROMol& mol, const std::vector<int>& atoms);

// Isotope label of each listed atom (0 for an atom without one), in the order given.
std::vector<int> isotope_labels(const RDKit::ROMol& mol, const std::vector<int>& atoms);

// Sum of atom_nominal_mass of the listed atoms (each occurrence counts; 0 for none).
int nominal_mass(const RDKit::ROMol& mol, const std::vector<int>& atoms);

// Sum of RDKit's average atomic masses (Atom::getMass) of the listed atoms, unrounded.
double average_mass(const RDKit::ROMol& mol, const std::vector<int>& atoms);

// The nominal and average mass of each atom of one molecule, read once. Its sums over an
// atom set equal nominal_mass and average_mass of the set (the same values added in the
// same order). The recursive fragmentation sums masses over thousands of atom sets per
// molecule, and RDKit's periodic-table lookup behind each atom was a tenth of its time.
class AtomMasses {
 public:
  explicit AtomMasses(const RDKit::ROMol& mol);

  // Sums over the listed atoms; std::out_of_range, as atom_at, for an index outside the
  // molecule.
  int nominal(const std::vector<int>& atoms) const;
  double average(const std::vector<int>& atoms) const;

 private:
  std::size_t checked(int atom_index) const;

  std::vector<int> nominal_;
  std::vector<double> average_;
};

// Element symbols with their counts (a count of 1 is not written): C first, then H,
// then the other symbols by code point ("Br" < "Cl" < "N" < "Na" < "O"). "" for no atoms.
std::string fragment_formula(const RDKit::ROMol& mol, const std::vector<int>& atoms);

// Symbol and index of atom i, "-", symbol and index of atom j, in argument order: "C1-Cl0".
std::string pair_label(const RDKit::ROMol& mol, int i, int j);

}  // namespace korvane::massspec
