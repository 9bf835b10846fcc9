// Nominal and average masses, formulas and labels of atom sets.
#include "korvane/massspec/masses.hpp"

#include <GraphMol/PeriodicTable.h>

#include <map>
#include <stdexcept>

namespace korvane::massspec {

namespace {

// The last element of RDKit's periodic table (oganesson); the table cannot be asked
// its size, and a lookup beyond it logs a precondition failure before throwing.
constexpr int kMaxAtomicNumber = 118;

void check_atom_index(int atom_index, int n_atoms) {
  if (atom_index < 0 || atom_index >= n_atoms)
    throw std::out_of_range("atom index " + std::to_string(atom_index) +
                            " is outside the molecule of " + std::to_string(n_atoms) + " atoms");
}

}  // namespace

int nominal_atom_mass(int atomic_num) {
  if (atomic_num < 0 || atomic_num > kMaxAtomicNumber)
    throw std::invalid_argument("unknown atomic number " + std::to_string(atomic_num));
  return RDKit::PeriodicTable::getTable()->getMostCommonIsotope(static_cast<unsigned>(atomic_num));
}

int atom_nominal_mass(const RDKit::Atom& atom) {
  const unsigned label = atom.getIsotope();
  return label != 0 ? static_cast<int>(label) : nominal_atom_mass(atom.getAtomicNum());
}

const RDKit::Atom& atom_at(const RDKit::ROMol& mol, int atom_index) {
  check_atom_index(atom_index, static_cast<int>(mol.getNumAtoms()));
  return *mol.getAtomWithIdx(static_cast<unsigned>(atom_index));
}

std::vector<int> atomic_numbers(const RDKit::ROMol& mol, const std::vector<int>& atoms) {
  std::vector<int> out;
  out.reserve(atoms.size());
  for (int a : atoms) out.push_back(atom_at(mol, a).getAtomicNum());
  return out;
}

std::vector<int> isotope_labels(const RDKit::ROMol& mol, const std::vector<int>& atoms) {
  std::vector<int> out;
  out.reserve(atoms.size());
  for (int a : atoms) out.push_back(static_cast<int>(atom_at(mol, a).getIsotope()));
  return out;
}

int nominal_mass(const RDKit::ROMol& mol, const std::vector<int>& atoms) {
  int sum = 0;
  for (int a : atoms) sum += atom_nominal_mass(atom_at(mol, a));
  return sum;
}

double average_mass(const RDKit::ROMol& mol, const std::vector<int>& atoms) {
  double sum = 0.0;
  for (int a : atoms) sum += atom_at(mol, a).getMass();
  return sum;
}

AtomMasses::AtomMasses(const RDKit::ROMol& mol) {
  nominal_.reserve(mol.getNumAtoms());
  average_.reserve(mol.getNumAtoms());
  for (const RDKit::Atom* atom : mol.atoms()) {
    nominal_.push_back(atom_nominal_mass(*atom));
    average_.push_back(atom->getMass());
  }
}

std::size_t AtomMasses::checked(int atom_index) const {
  const auto i = static_cast<std::size_t>(atom_index);  // a negative index wraps above n
  if (i >= nominal_.size()) check_atom_index(atom_index, static_cast<int>(nominal_.size()));
  return i;
}

int AtomMasses::nominal(const std::vector<int>& atoms) const {
  int sum = 0;
  for (int a : atoms) sum += nominal_[checked(a)];
  return sum;
}

double AtomMasses::average(const std::vector<int>& atoms) const {
  double sum = 0.0;
  for (int a : atoms) sum += average_[checked(a)];
  return sum;
}

std::string fragment_formula(const RDKit::ROMol& mol, const std::vector<int>& atoms) {
  // std::string's operator< compares bytes, which for ASCII symbols is code-point order.
  std::map<std::string, int> counts;
  for (int a : atoms) ++counts[atom_at(mol, a).getSymbol()];

  std::string out;
  const auto append = [&out](const std::string& symbol, int count) {
    out += symbol;
    if (count > 1) out += std::to_string(count);
  };
  for (const char* first : {"C", "H"}) {
    const auto it = counts.find(first);
    if (it == counts.end()) continue;
    append(it->first, it->second);
    counts.erase(it);
  }
  for (const auto& [symbol, count] : counts) append(symbol, count);
  return out;
}

std::string pair_label(const RDKit::ROMol& mol, int i, int j) {
  return atom_at(mol, i).getSymbol() + std::to_string(i) + "-" + atom_at(mol, j).getSymbol() +
         std::to_string(j);
}

}  // namespace korvane::massspec
