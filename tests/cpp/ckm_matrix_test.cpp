#include "ckm_matrix.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace korvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

CKMMatrix with_rows(const CKMMatrix::Row& r0, const CKMMatrix::Row& r1, const CKMMatrix::Row& r2, double j = 0.0) {
  return CKMMatrix::from_rows(r0, r1, r2, j);
}

const CKMMatrix kIdentity = with_rows({1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0});

TEST(CKMMatrix, FromTopologyIsTheIdentityWithPositiveZeroJ) {
  const CKMMatrix m = CKMMatrix::from_topology();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      // Bit patterns, so that a -0.0 off the diagonal would show.
      EXPECT_EQ(bits(m.elements[r][c]), bits(r == c ? 1.0 : 0.0)) << r << "," << c;
    }
  }
  EXPECT_EQ(bits(m.j), 0u);
  EXPECT_EQ(bits(m.jarlskog()), 0u);
  EXPECT_EQ(m.unitarity_error(), 0.0);
}

TEST(CKMMatrix, JarlskogReturnsTheStoredValueUntouched) {
  for (double j : {0.0, -0.0, 3.08e-5, -kInf, kDenormMin, -kNaN}) {
    const CKMMatrix m = with_rows({1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}, j);
    EXPECT_EQ(bits(m.jarlskog()), bits(j));
    // J plays no part in the unitarity test.
    EXPECT_TRUE(m.is_unitary(0.0)) << j;
  }
}

// The identity has no deviation at all, so exactly the tolerances that are
// not below 0.0 pass; NaN compares false.
class CKMIdentityTolerance : public ::testing::TestWithParam<std::pair<double, bool>> {};

TEST_P(CKMIdentityTolerance, PassesExactlyTheNonNegativeTolerances) {
  const auto [tol, want] = GetParam();
  EXPECT_EQ(CKMMatrix::from_topology().is_unitary(tol), want) << tol;
}

INSTANTIATE_TEST_SUITE_P(Tolerances, CKMIdentityTolerance,
                         ::testing::Values(std::pair{0.0, true}, std::pair{-0.0, true}, std::pair{1e-12, true},
                                           std::pair{kInf, true}, std::pair{kDenormMin, true}, std::pair{kNaN, false},
                                           std::pair{-kNaN, false}, std::pair{-kInf, false}, std::pair{-1e-300, false},
                                           std::pair{-kDenormMin, false}));

// Matrices with their deviation from unitarity worked out by hand (or, for
// the measured-looking one, in another language's IEEE arithmetic with the
// same grouping), plus tolerances that must pass or fail.
struct DeviationCase {
  std::string label;
  CKMMatrix matrix;
  std::uint64_t error_bits;
  std::vector<std::pair<double, bool>> tolerances;
};

std::vector<DeviationCase> deviation_cases() {
  // Row (a, a, 1) with a*a = 1.44e-16: grouped as (a*a + a*a) + 1 the sum is
  // 1 + 2^-52, while any other grouping adds a*a to 1 twice and reaches
  // 1 + 2^-51. The other rows are built to be orthogonal to it exactly
  // (their products cancel term by term) and to deviate by at most 2^-52.
  const double a = 1.2e-8;
  const double x = 0.7071067811865475;  // x*x + x*x = 1 - 2^-52
  const double y = -(a * x + a * x);

  return {
      {"Identity", kIdentity, bits(0.0), {{0.0, true}}},
      // 0.6*0.6 rounds to 0.36 and 0.8*0.8 to 0.6400000000000001; their sum
      // rounds to 1.0, and 0.6*0.8 - 0.8*0.6 cancels exactly.
      {"ProperRotation", with_rows({0.6, 0.8, 0.0}, {-0.8, 0.6, 0.0}, {0.0, 0.0, 1.0}), bits(0.0), {{1e-12, true}}},
      {"SignedPermutation", with_rows({0.0, -1.0, 0.0}, {0.0, 0.0, 1.0}, {-1.0, 0.0, 0.0}), bits(0.0), {{0.0, true}}},
      // Every row has length 1.0, but rows 0 and 2 are equal: their scalar
      // product is 1.0 where 0.0 is wanted.
      {"EqualRows",
       with_rows({0.6, 0.8, 0.0}, {0.0, 0.0, 1.0}, {0.6, 0.8, 0.0}),
       bits(1.0),
       {{1e-12, false}, {0.5, false}, {0.99, false}, {1.0, true}}},
      // Unit rows at an angle: rows 0 and 1 have scalar product 0.6.
      {"UnitRowsNotOrthogonal",
       with_rows({1.0, 0.0, 0.0}, {0.6, 0.8, 0.0}, {0.0, 0.0, 1.0}),
       bits(0.6),
       {{0.5, false}, {0.6, true}}},
      // Row 0 has squared length 2.0 and scalar product 1.0 with row 1.
      {"RowTooLong",
       with_rows({1.0, 1.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}),
       bits(1.0),
       {{0.5, false}, {1.0, true}}},
      // Orthogonal rows, one of squared length 0.25.
      {"RowTooShort",
       with_rows({1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 0.5}),
       bits(0.75),
       {{0.7, false}, {0.75, true}}},
      // A real mixing matrix rounded to five decimals: row 1's squared length
      // is off by about 5.1e-6, more than any other entry.
      {"RoundedMeasuredMixing",
       with_rows({0.97435, 0.22501, 0.00373}, {-0.22497, 0.97347, 0.04183}, {0.00578, -0.0416, 0.99912}),
       0x3ED55A18F5F80000ULL,  // 5.0906999997657465e-06
       {{1e-6, false}, {1e-5, true}}},
      {"SumOfSquaresGrouping", with_rows({a, a, 1.0}, {x, -x, 0.0}, {x, x, y}), bits(0x1p-52), {{0x1p-52, true}}},
      // An infinite element gives an infinite deviation, which only an
      // infinite tolerance accepts.
      {"InfiniteElement",
       with_rows({0.97435, 0.22501, 0.00373}, {-0.22497, kInf, 0.04183}, {0.00578, -0.0416, 0.99912}),
       bits(kInf),
       {{1e300, false}, {std::numeric_limits<double>::max(), false}}},
  };
}

class CKMUnitarityDeviation : public ::testing::TestWithParam<DeviationCase> {};

TEST_P(CKMUnitarityDeviation, ErrorIsTheLargestDeviationAndTheBoundIsInclusive) {
  const DeviationCase& c = GetParam();
  const double err = c.matrix.unitarity_error();
  EXPECT_EQ(bits(err), c.error_bits) << err;
  for (const auto& [tol, want] : c.tolerances) EXPECT_EQ(c.matrix.is_unitary(tol), want) << "tol " << tol;
  // The bound itself passes and the next smaller tolerance fails.
  const double expected_err = std::bit_cast<double>(c.error_bits);
  EXPECT_TRUE(c.matrix.is_unitary(expected_err));
  EXPECT_FALSE(c.matrix.is_unitary(std::nextafter(expected_err, -kInf)));
  EXPECT_TRUE(c.matrix.is_unitary(kInf));
  EXPECT_FALSE(c.matrix.is_unitary(kNaN));
}

INSTANTIATE_TEST_SUITE_P(Matrices, CKMUnitarityDeviation, ::testing::ValuesIn(deviation_cases()),
                         [](const ::testing::TestParamInfo<DeviationCase>& info) { return info.param.label; });

// A NaN anywhere in the matrix reaches a row's sum of squares and so the
// error; no tolerance, not even +inf, lets the matrix pass.
class CKMNaNElement : public ::testing::TestWithParam<std::tuple<int, double>> {};

TEST_P(CKMNaNElement, FailsForEveryTolerance) {
  const auto [position, nan] = GetParam();
  for (const CKMMatrix& base : {kIdentity, with_rows({0.6, 0.8, 0.0}, {-0.8, 0.6, 0.0}, {0.0, 0.0, 1.0})}) {
    CKMMatrix m = base;
    m.elements[position / 3][position % 3] = nan;
    EXPECT_TRUE(std::isnan(m.unitarity_error()));
    for (double tol : {0.0, 1e-12, 1.0, std::numeric_limits<double>::max(), kInf, kNaN}) {
      EXPECT_FALSE(m.is_unitary(tol)) << "element " << position << ", tol " << tol;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPosition, CKMNaNElement,
                         ::testing::Combine(::testing::Range(0, 9), ::testing::Values(kNaN, -kNaN)));

}  // namespace
}  // namespace korvex
