// The 3x3 quark-mixing matrix as a small value: nine elements, row-major, and
// the Jarlskog invariant J as stored. Nothing derives J from the elements.
#pragma once

#include <array>

namespace korvex {

struct CKMMatrix {
  using Row = std::array<double, 3>;

  std::array<Row, 3> elements{};  // elements[r][c]: row r, column c
  double j = 0.0;

  // The identity, with J = +0.0 (every zero positive).
  static constexpr CKMMatrix from_topology() noexcept {
    return from_rows({1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}, 0.0);
  }

  // Any contents, for tests and diagnostics.
  static constexpr CKMMatrix from_rows(const Row& row0, const Row& row1, const Row& row2, double invariant) noexcept {
    return CKMMatrix{{row0, row1, row2}, invariant};
  }

  double jarlskog() const noexcept { return j; }

  // The largest absolute deviation of M·Mᵀ from the identity, over all nine
  // entries: each row's sum of squares against 1.0 and each pair of distinct
  // rows' scalar product against 0.0. Each of those is (a0·b0 + a1·b1) + a2·b2
  // with every product and sum rounded on its own. NaN when any entry is NaN.
  double unitarity_error() const noexcept;

  // Whether M·Mᵀ equals the identity within tol, entry by entry: true exactly
  // when tol >= unitarity_error(). Rows of the right length that are not
  // orthogonal fail, a NaN element fails for every tol, and so does a NaN tol.
  bool is_unitary(double tol) const noexcept;
};

}  // namespace korvex
