// Properties of the JSON number text over many doubles: it reads back to the
// same bits, no shorter digit string would, and its layout follows the rules
// for its decimal exponent. The text is taken apart here by hand, so the
// checks do not lean on the writer's own digit helpers.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "datasheet.hpp"

namespace korvex {
namespace {

constexpr std::uint64_t kSeed = 0x6b6f72766578'0001ULL;
// Random patterns checked: ten million, or KORVEX_RANDOM_PATTERNS (fewer
// where the tests run emulated).
std::uint64_t random_patterns() {
  const char* wanted = std::getenv("KORVEX_RANDOM_PATTERNS");
  return wanted != nullptr ? std::strtoull(wanted, nullptr, 10) : 10'000'000;
}

bool all_digits(std::string_view s) { return s.find_first_not_of("0123456789") == std::string_view::npos; }

// Reads text fully as a double; false when it does not parse whole or lies
// out of range. Both readers used round correctly: std::from_chars, and
// strtod (glibc's and musl's) for texts of 1e-300 or less. libc++'s
// from_chars takes thousands of times longer on subnormals, and musl's
// strtod is slow for large exponents, so each gets the texts it reads
// quickly.
bool read_double(std::string_view text, double& value) {
  if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return false;
  const std::size_t e = text.find('e');
  const bool tiny = e != std::string_view::npos && e + 2 < text.size() && text[e + 1] == '-' &&
                    (text.size() - e - 2 > 3 || (text.size() - e - 2 == 3 && text.substr(e + 2) >= "300"));
  if (!tiny) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
  }
  // strtod would also take blanks, a '+', hexadecimal, "inf" and "nan":
  // the first character was checked above.
  const std::string terminated(text);
  char* end = nullptr;
  errno = 0;
  value = std::strtod(terminated.c_str(), &end);
  if (end != terminated.c_str() + terminated.size()) return false;
  // ERANGE also flags exact subnormal results; only underflow all the way
  // to zero is out of range here.
  return errno != ERANGE || value != 0.0;
}

// The significant digits of a nonzero number text (no leading or trailing
// zeros) and its decimal exponent E, value = d1.d2...dn * 10^E.
struct Significand {
  std::string digits;
  int exponent = 0;
};

// Checks the layout of a finite number's text and takes it apart. Returns a
// description of the first rule broken, or an empty string.
std::string check_layout(std::string_view text, bool& is_zero, Significand& out) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  is_zero = text == "0.0";
  if (is_zero) return {};

  if (const std::size_t e = text.find('e'); e != std::string_view::npos) {
    const std::string_view mantissa = text.substr(0, e);
    const std::string_view exponent = text.substr(e + 1);
    if (mantissa.empty() || mantissa[0] < '1' || mantissa[0] > '9') return "mantissa must start with 1-9";
    if (mantissa.size() > 1) {
      if (mantissa.size() < 3 || mantissa[1] != '.' || !all_digits(mantissa.substr(2)))
        return "mantissa must be d or d.ddd";
      if (mantissa.back() == '0') return "trailing zero in the mantissa";
    }
    if (exponent.size() < 2 || (exponent[0] != '+' && exponent[0] != '-')) return "exponent without sign";
    if (!all_digits(exponent.substr(1)) || exponent[1] == '0') return "exponent digits malformed or zero-led";
    out.digits = std::string(1, mantissa[0]);
    if (mantissa.size() > 1) out.digits += mantissa.substr(2);
    out.exponent = std::stoi(std::string(exponent.substr(1))) * (exponent[0] == '-' ? -1 : 1);
    if (out.exponent >= -5 && out.exponent <= 15) return "scientific form inside the positional window";
  } else {
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos || point == 0 || point + 1 == text.size()) return "no point, or a bare point";
    const std::string_view integral = text.substr(0, point);
    const std::string_view fraction = text.substr(point + 1);
    if (!all_digits(integral) || !all_digits(fraction)) return "stray character in positional form";
    if (integral.size() > 1 && integral[0] == '0') return "leading zero in the integral part";
    // A fraction of exactly "0" marks an integral number; any other fraction
    // ends in a significant digit.
    if (fraction != "0" && fraction.back() == '0') return "trailing zero in the fraction";
    if (fraction == "0" && integral == "0") return "zero written other than 0.0";
    std::string all(integral);
    if (fraction != "0") all += fraction;
    const std::size_t first = all.find_first_not_of('0');
    out.exponent = static_cast<int>(integral.size()) - 1 - static_cast<int>(first);
    out.digits = all.substr(first, all.find_last_not_of('0') - first + 1);
    if (out.exponent < -5 || out.exponent > 15) return "positional form outside the window";
  }
  if (out.digits.size() > 17) return "more than 17 digits";
  return {};
}

// Whether sign * digits * 10^scale reads back to exactly these bits.
bool round_trips(bool negative, const std::string& digits, int scale, std::uint64_t bits) {
  const std::string text = (negative ? "-" : "") + digits + "e" + std::to_string(scale);
  double value = 0.0;
  return read_double(text, value) && std::bit_cast<std::uint64_t>(value) == bits;
}

// A nonnegative integer of any size, for comparing a double exactly with a
// decimal: 32-bit limbs, lowest first, no zero limbs on top.
class BigInteger {
 public:
  explicit BigInteger(std::uint64_t value) {
    for (; value != 0; value >>= 32) limbs_.push_back(static_cast<std::uint32_t>(value));
  }
  void multiply(std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : limbs_) {
      const std::uint64_t product = std::uint64_t{limb} * factor + carry;
      limb = static_cast<std::uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
  }
  void multiply_by_power_of_two(int power) {
    if (limbs_.empty()) return;
    limbs_.insert(limbs_.begin(), static_cast<std::size_t>(power / 32), 0);
    if (power % 32 != 0) multiply(std::uint32_t{1} << (power % 32));
  }
  void multiply_by_power_of_five(int power) {
    for (; power >= 13; power -= 13) multiply(1220703125);  // 5^13
    for (; power > 0; --power) multiply(5);
  }
  // Negative, zero or positive as a is below, equal to or above b.
  friend int compare(const BigInteger& a, const BigInteger& b) {
    if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
    for (std::size_t i = a.limbs_.size(); i-- > 0;)
      if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
    return 0;
  }

 private:
  std::vector<std::uint32_t> limbs_;
};

// Compares |value| with the decimal halfway * 10^scale / 2, exactly.
int compare_with_half_decimal(double value, std::uint64_t halfway, int scale) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value) & ~(std::uint64_t{1} << 63);
  const auto biased = static_cast<int>(bits >> 52);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  // |value| * 2 = mantissa * 2^twos, against halfway * 2^scale * 5^scale.
  const std::uint64_t mantissa = biased == 0 ? fraction : fraction | std::uint64_t{1} << 52;
  const int twos = (biased == 0 ? -1074 : biased - 1075) + 1;
  BigInteger left(mantissa);
  BigInteger right(halfway);
  if (twos > scale)
    left.multiply_by_power_of_two(twos - scale);
  else
    right.multiply_by_power_of_two(scale - twos);
  if (scale >= 0)
    right.multiply_by_power_of_five(scale);
  else
    left.multiply_by_power_of_five(-scale);
  return compare(left, right);
}

// How often a rival digit string of the text's own length read back, so
// that the nearest-string check is known to have had work to do.
std::uint64_t rivals_weighed = 0;

// Runs every check on one double; a description of the failure or empty.
std::string check(double value) {
  std::string text;
  append_json_number(text, value);
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);

  double back = 0.0;
  if (!read_double(text, back) || std::bit_cast<std::uint64_t>(back) != bits) return text + ": does not read back";
  if (std::signbit(value) != (text.front() == '-')) return text + ": sign";

  bool is_zero = false;
  Significand s;
  if (std::string broken = check_layout(text, is_zero, s); !broken.empty()) return text + ": " + broken;
  if (is_zero != (value == 0.0)) return text + ": zero text for a nonzero value or the reverse";
  if (is_zero || s.digits.size() == 1) return {};

  // The n-1 digit strings nearest the value from below and from above; the
  // values that read back to it form an interval, so when neither of these
  // lies in it, no string of n-1 or fewer digits does.
  const int n = static_cast<int>(s.digits.size());
  const int scale = s.exponent - (n - 2);
  std::string down = s.digits.substr(0, s.digits.size() - 1);
  std::string up = down;
  std::size_t i = up.size();
  while (i > 0 && up[i - 1] == '9') up[--i] = '0';
  if (i == 0)
    up.insert(up.begin(), '1');
  else
    ++up[i - 1];
  const bool negative = std::signbit(value);
  if (round_trips(negative, down, scale, bits) || round_trips(negative, up, scale, bits))
    return text + ": a shorter digit string also reads back";

  // Of the n-digit strings that read back, the text has the one nearest the
  // value, the even one of two as near. Its neighbours one unit in the last
  // place away are the nearest rivals; when one reads back, the value must
  // lie on the text's side of the point halfway between them.
  const int last = scale - 1;
  const std::uint64_t digits = std::stoull(s.digits);
  const bool even = digits % 2 == 0;
  if (round_trips(negative, std::to_string(digits + 1), last, bits)) {
    ++rivals_weighed;
    const int side = compare_with_half_decimal(value, 2 * digits + 1, last);
    if (side > 0 || (side == 0 && !even)) return text + ": the next digit string up is nearer the value";
  }
  if (round_trips(negative, std::to_string(digits - 1), last, bits)) {
    ++rivals_weighed;
    const int side = compare_with_half_decimal(value, 2 * digits - 1, last);
    if (side < 0 || (side == 0 && !even)) return text + ": the next digit string down is nearer the value";
  }
  return {};
}

// Counts checks and keeps the first few failures for the report.
class Checker {
 public:
  void operator()(double value) {
    ++count_;
    std::string failure = check(value);
    if (failure.empty()) return;
    if (++failures_ <= 20)
      ADD_FAILURE() << std::hex << "seed 0x" << kSeed << ", bits 0x" << std::bit_cast<std::uint64_t>(value) << std::dec
                    << ": " << failure;
  }
  void both_signs(double value) {
    (*this)(value);
    (*this)(-value);
  }
  // The value and `steps` neighbours on each side, with both signs.
  void around(double value, int steps) {
    both_signs(value);
    for (double below = value, above = value; steps-- > 0;) {
      both_signs(below = std::nextafter(below, 0.0));
      if (std::isfinite(above = std::nextafter(above, std::numeric_limits<double>::infinity()))) both_signs(above);
    }
  }
  std::uint64_t count() const { return count_; }
  std::uint64_t failures() const { return failures_; }

 private:
  std::uint64_t count_ = 0;
  std::uint64_t failures_ = 0;
};

struct HalfDecimalCase {
  double value;
  std::uint64_t halfway;
  int scale;
  int side;
};

TEST(JsonNumberProperty, ComparesDoublesWithDecimalsExactly) {
  // The checker's own yardstick: |value| against halfway * 10^scale / 2.
  const HalfDecimalCase cases[] = {
      {0.5, 1, 0, 0},
      {-0.5, 1, 0, 0},
      {0.25, 5, -1, 0},
      {0.1, 1, 0, -1},
      {0.1, 2, -1, 1},    // the double nearest 0.1 lies above it
      {0.3, 6, -1, -1},   // and the one nearest 0.3 below
      {1e23, 2, 23, -1},  // 99999999999999991611392
      {9007199254740992.0, 18014398509481984, 0, 0},
      {9007199254740992.0, 18014398509481985, 0, -1},
      {std::numeric_limits<double>::denorm_min(), 1, -323, -1},  // 4.94e-324 * 2 against 1e-323
      {std::numeric_limits<double>::denorm_min(), 9, -324, 1},
      {std::numeric_limits<double>::max(), 35953862697246315, 292, -1},
      {std::numeric_limits<double>::max(), 35953862697246314, 292, 1},
  };
  for (const HalfDecimalCase& c : cases)
    EXPECT_EQ(compare_with_half_decimal(c.value, c.halfway, c.scale), c.side)
        << c.value << " against " << c.halfway << "e" << c.scale << " / 2";
}

TEST(JsonNumberProperty, RandomBitPatterns) {
  std::cout << "[ property ] seed 0x" << std::hex << kSeed << std::dec << '\n';
  const auto start = std::chrono::steady_clock::now();
  std::mt19937_64 random(kSeed);
  const std::uint64_t patterns = random_patterns();
  Checker checker;
  while (checker.count() < patterns) {
    const double value = std::bit_cast<double>(random());
    if (std::isfinite(value)) checker(value);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::cout << "[ property ] " << checker.count() << " random patterns in " << took.count() << " s, " << rivals_weighed
            << " rival digit strings weighed\n";
  EXPECT_EQ(checker.failures(), 0u);
  EXPECT_GT(rivals_weighed, patterns / 100);
}

TEST(JsonNumberProperty, ValuesNearTheLayoutWindowAndIntegers) {
  // Random bit patterns rarely land between 1e-7 and 1e17, where the
  // positional form and the ".0" suffix live; these values aim there.
  std::mt19937_64 random(kSeed + 1);
  Checker checker;
  std::uniform_int_distribution<int> binary_exponent(-26, 60);
  for (int i = 0; i < 1'000'000; ++i) {
    const std::uint64_t mantissa = random() & ((std::uint64_t{1} << 52) - 1);
    const auto biased = static_cast<std::uint64_t>(1023 + binary_exponent(random));
    checker.both_signs(std::bit_cast<double>(biased << 52 | mantissa));
  }
  std::uniform_int_distribution<std::uint64_t> integer(0, std::uint64_t{1} << 54);
  for (int i = 0; i < 500'000; ++i) checker.both_signs(static_cast<double>(integer(random)));
  std::cout << "[ property ] " << checker.count() << " values near the window\n";
  EXPECT_EQ(checker.failures(), 0u);
}

TEST(JsonNumberProperty, EdgeSweeps) {
  Checker checker;
  checker.both_signs(0.0);
  // The first and last subnormals, every power of two among them, and the
  // smallest normals.
  for (std::uint64_t bits = 1; bits <= 100'000; ++bits) checker.both_signs(std::bit_cast<double>(bits));
  const std::uint64_t min_normal_bits = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::min());
  for (std::uint64_t bits = min_normal_bits - 100'000; bits < min_normal_bits + 100'000; ++bits)
    checker.both_signs(std::bit_cast<double>(bits));
  for (int shift = 0; shift < 52; ++shift) checker.around(std::bit_cast<double>(std::uint64_t{1} << shift), 2);
  // The largest finite values.
  checker.around(std::numeric_limits<double>::max(), 100'000);
  // Every power of ten a double reaches, with neighbours; many more around
  // the edges of the positional window.
  for (int power = -323; power <= 308; ++power) {
    double value = 0.0;
    ASSERT_TRUE(read_double("1e" + std::to_string(power), value)) << power;
    const bool window_edge = power == -5 || power == -6 || power == 15 || power == 16;
    checker.around(value, window_edge ? 100'000 : 5);
  }
  // 2^53 and its neighbouring powers, where integers stop being every
  // double and short decimals stop being looked for.
  for (const double power : {0x1p52, 0x1p53, 0x1p54}) checker.around(power, 100'000);
  // Short decimals, of up to nine places, beside every power of two from
  // 2^-20 to 2^54: the places the short-decimal path can use change only
  // where the spacing of doubles does, at powers of two.
  for (int shift = -20; shift <= 54; ++shift) {
    const double power = std::ldexp(1.0, shift);
    for (int places = 0; places <= 9; ++places) {
      double scale = 1.0;
      for (int i = 0; i < places; ++i) scale *= 10.0;
      const double nearest = std::nearbyint(power * scale);
      for (int step = -50; step <= 50; ++step) checker.both_signs((nearest + step) / scale);
    }
  }
  std::cout << "[ property ] " << checker.count() << " edge values\n";
  EXPECT_EQ(checker.failures(), 0u);
}

}  // namespace
}  // namespace korvex
