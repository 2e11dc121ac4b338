// The 32-bit Mersenne Twister MT19937 with the standard parameters: for the
// same seed, exactly the outputs of std::mt19937, in the same order.
//
//   Mt19937 generator(123);
//   uint32_t u = generator();
//
// It differs from the standard library's engine only in how the work is
// laid out: the state is 32-bit words (not the wider uint_fast32_t), and a
// refill computes the next 624 state words and their tempered outputs in
// loops without branches that the compiler vectorises, so that a draw is a
// load and an increment.
#ifndef TOVALIB_SAMPLING_MT19937_H_
#define TOVALIB_SAMPLING_MT19937_H_

#include <cstddef>
#include <cstdint>

namespace tovalib {

class Mt19937 {
 public:
  using result_type = uint32_t;
  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return 0xFFFFFFFFu; }

  explicit Mt19937(uint32_t seed = 5489u) {
    x_[0] = seed;
    for (uint32_t i = 1; i < kN; ++i) x_[i] = 1812433253u * (x_[i - 1] ^ (x_[i - 1] >> 30)) + i;
    next_ = kN;
  }

  result_type operator()() {
    if (next_ >= kN) refill();
    return out_[next_++];
  }

  // Same state: the same outputs from here on.
  bool operator==(const Mt19937& other) const {
    if (next_ != other.next_) return false;
    for (size_t i = 0; i < kN; ++i) {
      if (x_[i] != other.x_[i]) return false;
    }
    return true;
  }
  bool operator!=(const Mt19937& other) const { return !(*this == other); }

 private:
  static constexpr uint32_t kN = 624;
  static constexpr uint32_t kM = 397;
  static constexpr uint32_t kUpper = 0x80000000u;
  static constexpr uint32_t kLower = 0x7FFFFFFFu;
  static constexpr uint32_t kMatrix = 0x9908B0DFu;

  static uint32_t twist(uint32_t x, uint32_t x1, uint32_t xm) {
    const uint32_t y = (x & kUpper) | (x1 & kLower);
    return xm ^ (y >> 1) ^ ((0u - (y & 1u)) & kMatrix);
  }

  void refill() {
    uint32_t* x = x_;
    // Word i reads words i + 1 and i + M of the old state, so each stretch
    // reads only words that it has not yet written itself, or that lie a
    // whole stretch behind.
    for (uint32_t i = 0; i < kN - kM; ++i) x[i] = twist(x[i], x[i + 1], x[i + kM]);
    for (uint32_t i = kN - kM; i < kN - 1; ++i) x[i] = twist(x[i], x[i + 1], x[i + kM - kN]);
    x[kN - 1] = twist(x[kN - 1], x[0], x[kM - 1]);
    for (uint32_t i = 0; i < kN; ++i) {
      uint32_t y = x[i];
      y ^= y >> 11;
      y ^= (y << 7) & 0x9D2C5680u;
      y ^= (y << 15) & 0xEFC60000u;
      y ^= y >> 18;
      out_[i] = y;
    }
    next_ = 0;
  }

  uint32_t x_[kN];
  uint32_t out_[kN];  // tempered x_; out_[next_, kN) are the outputs to come
  uint32_t next_;
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_MT19937_H_
