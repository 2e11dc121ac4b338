// Floyd's selection over neighbourhoods longer than 2^32, position by
// position against a generator driven by hand. Exit status 0 when every
// check holds; the first failed check is printed.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "sampling/mt19937.h"
#include "sampling/taken_set.h"
#include "sampling/uniform_select.h"

namespace {

int failures = 0;

void check(bool ok, const char* what, int64_t got, int64_t expected) {
  if (ok) return;
  if (failures++ == 0) {
    std::printf("FAILED: %s: got %lld, expected %lld\n", what, static_cast<long long>(got),
                static_cast<long long>(expected));
  }
}

std::vector<int64_t> select(tovalib::Mt19937& gen, int64_t begin, int64_t n, int64_t k) {
  tovalib::TakenSet taken;
  std::vector<int64_t> picks(static_cast<size_t>(k));
  tovalib::select_uniform(gen, begin, n, k, taken, picks.data());
  return picks;
}

}  // namespace

int main() {
  constexpr int64_t kTwo32 = int64_t{1} << 32;

  // k = 1 over 2^33 + 5 positions: one step, j + 1 = n, two outputs, the
  // first as the high half. About half of the picks lie at or beyond 2^32.
  {
    const int64_t n = 2 * kTwo32 + 5;
    tovalib::Mt19937 gen(123);
    std::mt19937 hand(123);
    int beyond = 0;
    for (int trial = 0; trial < 64; ++trial) {
      const std::vector<int64_t> picks = select(gen, 1000, n, 1);
      const uint64_t high = hand();
      const uint64_t low = hand();
      const auto expected = static_cast<int64_t>(((high << 32) | low) % static_cast<uint64_t>(n));
      check(picks.size() == 1, "one pick for k = 1", static_cast<int64_t>(picks.size()), 1);
      check(picks[0] == 1000 + expected, "64-bit remainder", picks[0], 1000 + expected);
      if (expected >= kTwo32) ++beyond;
    }
    check(gen() == hand(), "two outputs per step", 0, 0);
    check(beyond >= 16, "positions at or beyond 2^32 reached", beyond, 16);
  }

  // Steps with j + 1 <= 2^32 keep the one-output rule, also when later steps
  // of the same selection need two: n = 2^32 + 1, k = 3 has j + 1 = 2^32 - 1,
  // 2^32 (one output each) and 2^32 + 1 (two outputs).
  {
    const int64_t n = kTwo32 + 1;
    tovalib::Mt19937 gen(7);
    std::mt19937 hand(7);
    const std::vector<int64_t> picks = select(gen, 0, n, 3);
    const uint64_t r0 = static_cast<uint32_t>(hand()) % static_cast<uint64_t>(kTwo32 - 1);
    const uint64_t r1 = static_cast<uint32_t>(hand()) % static_cast<uint64_t>(kTwo32);
    const uint64_t high = hand();
    const uint64_t r2 = ((high << 32) | hand()) % static_cast<uint64_t>(kTwo32 + 1);
    const int64_t expected[3] = {static_cast<int64_t>(r0),
                                 static_cast<int64_t>(r1 == r0 ? kTwo32 - 1 : r1),
                                 static_cast<int64_t>(r2)};
    check(picks.size() == 3, "three picks", static_cast<int64_t>(picks.size()), 3);
    for (size_t i = 0; i < 3 && i < picks.size(); ++i) {
      check(picks[i] == expected[i], "mixed selection", picks[i], expected[i]);
    }
    check(gen() == hand(), "four outputs in all", 0, 0);
  }

  // Below 2^32, selections follow the 32-bit rule exactly: choosing 2 of 4
  // and 3 of 10 from a generator seeded with 123 gives offsets 1, 3 and then
  // (continuing the same generator) the rule applied by hand.
  {
    tovalib::Mt19937 gen(123);
    const std::vector<int64_t> two = select(gen, 0, 4, 2);
    check(two.size() == 2 && two[0] == 1 && two[1] == 3, "2 of 4", two.empty() ? -1 : two[0], 1);
    tovalib::Mt19937 a(99);
    std::mt19937 hand(99);
    for (int64_t n : {int64_t{10}, int64_t{1000}, kTwo32 - 1, kTwo32}) {
      const std::vector<int64_t> picks = select(a, 5, n, 4);
      std::vector<int64_t> taken;
      for (int64_t j = n - 4; j < n; ++j) {
        int64_t r = static_cast<int64_t>(static_cast<uint64_t>(hand()) % static_cast<uint64_t>(j + 1));
        for (int64_t t : taken) {
          if (t == r) r = j;
        }
        taken.push_back(r);
        const size_t i = taken.size() - 1;
        check(i < picks.size() && picks[i] == 5 + r, "32-bit rule", i < picks.size() ? picks[i] : -1,
              5 + r);
      }
    }
    check(a() == hand(), "one output per step below 2^32", 0, 0);
  }

  if (failures == 0) std::printf("ok\n");
  return failures == 0 ? 0 : 1;
}
