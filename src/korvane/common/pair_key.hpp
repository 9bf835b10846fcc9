// The key of an unordered index pair (two atoms, two orbital nodes): the smaller index first,
// so that (u, v) and (v, u) name the same pair in a map or set.
#pragma once
#include <utility>

namespace korvane {

inline std::pair<int, int> pair_key(int a, int b) {
  return a < b ? std::make_pair(a, b) : std::make_pair(b, a);
}

}  // namespace korvane
