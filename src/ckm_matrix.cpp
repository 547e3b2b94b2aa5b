#include "ckm_matrix.hpp"

#include <cmath>

namespace korvex {

namespace {

// Written out in a fixed order so the result is the same bit for bit on
// every build; the project compiles with -ffp-contract=off, so no product is
// fused into a multiply-add.
double dot(const CKMMatrix::Row& a, const CKMMatrix::Row& b) noexcept {
  return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
}

}  // namespace

double CKMMatrix::unitarity_error() const noexcept {
  double err = 0.0;
  // A NaN deviation becomes the error and stays: no later number can make a
  // matrix holding NaN look unitary.
  auto fold = [&err](double deviation) {
    if (deviation > err || std::isnan(deviation)) err = deviation;
  };
  for (const Row& row : elements) fold(std::fabs(dot(row, row) - 1.0));
  fold(std::fabs(dot(elements[0], elements[1])));
  fold(std::fabs(dot(elements[0], elements[2])));
  fold(std::fabs(dot(elements[1], elements[2])));
  return err;
}

bool CKMMatrix::is_unitary(double tol) const noexcept { return tol >= unitarity_error(); }

}  // namespace korvex
