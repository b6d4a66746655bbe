// Where the tool books missing samples: each scenario feeds looks at the
// ring and lines as the acquisition does, with each line's true index as its
// text, and every line must come out at its index with a gap mark exactly
// where indices jump.
#include "session/gap_locator.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace vozihost {
namespace {

struct Out {
  long index;
  std::optional<uint64_t> gap;
};

class Feed : public GapLocator::Sink {
 public:
  explicit Feed(int64_t periodUs = 1000) : gaps(periodUs, *this) {}
  void Release(GapLocator::Released& r) override { out.push_back({std::stol(r.line), r.gap}); }

  // The instrument's line `index` enters the ring.
  void Enter(long index, bool mayFollowRefused = false) {
    entered += 10;
    ring.push_back({index, entered, mayFollowRefused});
  }
  void Look(double t, bool full = false) { gaps.Look(t, entered, full); }
  // The tool takes every line waiting, looking before each.
  void ReadAll(double t) {
    while (!ring.empty()) {
      Look(t);
      gaps.Line(std::to_string(ring.front().index), t, ring.front().end, ring.front().flagged);
      gaps.Settle(false);
      ring.pop_front();
    }
  }
  // A read that waited for a line: the tool takes it before any look saw it.
  void TakeUnlooked(long index, double t) {
    Enter(index);
    gaps.Line(std::to_string(index), t, ring.front().end, false);
    gaps.Settle(false);
    ring.pop_front();
  }
  // Lines first..last sent at the instrument's pace (index ms), each seen
  // at once.
  void Steady(long first, long last, bool flagFirst = false) {
    for (long k = first; k <= last; ++k) {
      const double t = static_cast<double>(k) * 1e-3 + 2e-4;
      Enter(k, flagFirst && k == first);
      ReadAll(t);
    }
  }

  GapLocator gaps;
  std::vector<Out> out;

 private:
  struct InRing {
    long index;
    uint64_t end;
    bool flagged;
  };
  std::deque<InRing> ring;
  uint64_t entered = 0;
};

TEST(GapLocator, EveryLineLandsAtItsIndexAndGapsSitOnTheJumps) {
  const std::vector<std::pair<const char*, std::function<void(Feed&)>>> scenarios = {
      {"steady", [](Feed& f) { f.Steady(0, 2000); }},
      {"lost on the way: the newest line stays newest while 50 come due",
       [](Feed& f) {
         f.Steady(0, 999);
         for (int ms = 1; ms <= 50; ++ms) f.Look(0.9992 + ms * 1e-3);
         f.Steady(1050, 2500);
       }},
      {"the tool held up: a backlog kept, then lines at the pace again",
       [](Feed& f) {
         f.Steady(0, 999);
         for (long k = 1000; k < 1400; ++k) f.Enter(k);
         f.ReadAll(3.0);
         f.Steady(3001, 4500);
       }},
      {"late, not lost: a frozen instrument sends what fell due at once",
       [](Feed& f) {
         f.Steady(0, 999);
         for (long k = 1000; k < 2000; ++k) f.Enter(k);
         f.ReadAll(1.9995);
         f.Steady(2000, 3500);
       }},
      {"a full ring left alone: its end seen before every missing line was due",
       [](Feed& f) {
         f.Steady(0, 999);
         for (long k = 1000; k < 1400; ++k) f.Enter(k);
         for (int ms = 0; ms <= 20; ++ms) f.Look(3.0 + ms * 1e-3, true);
         f.ReadAll(3.0205);
         f.Steady(3021, 4500, true);
       }},
      {"lost twice on the way, the second time before the first small loss settled",
       [](Feed& f) {
         f.Steady(0, 999);
         for (int ms = 1; ms <= 20; ++ms) f.Look(0.9992 + ms * 1e-3);
         f.Steady(1020, 1999);
         for (int ms = 1; ms <= 20; ++ms) f.Look(1.9992 + ms * 1e-3);
         f.Steady(2040, 3500);
       }},
      {"a small loss right after a line came in a little late, the stream ending before the loss settled",
       [](Feed& f) {
         f.Steady(0, 698);
         f.Enter(699);
         f.ReadAll(0.6997 + 2.7e-3);
         for (int ms = 1; ms <= 30; ++ms) f.Look(0.7024 + ms * 1e-3);
         f.Steady(730, 2000);
       }},
      {"a busy machine: every line 3 samples late for 1 s, then 8 for 3 s, then on time again",
       [](Feed& f) {
         f.Steady(0, 999);
         for (long k = 1000; k < 5000; ++k) {
           f.Enter(k);
           f.ReadAll(static_cast<double>(k) * 1e-3 + (k < 2000 ? 3.2e-3 : 8.2e-3));
         }
         for (long k = 5000; k < 5008; ++k) f.Enter(k);
         f.ReadAll(5.0082);
         f.Steady(5008, 6000);
       }},
      {"a silent instrument on a busy machine: the first lines after the silence come in late, in bursts",
       [](Feed& f) {
         f.Steady(0, 999);
         for (int ms = 20; ms < 2500; ms += 20) f.Look(0.9992 + ms * 1e-3);
         // The tool and the reader get the core back only now and then:
         // 270 lines in bursts, each up to 20 samples late, then on time.
         for (long k = 3500; k < 3770; k += 15) {
           for (long j = k; j < k + 15; ++j) f.Enter(j);
           f.ReadAll(static_cast<double>(k + 14) * 1e-3 + 2e-4 + (3770 - k) * 7e-5);
         }
         f.Steady(3770, 5000);
       }},
      {"lost on the way, then every line a sample later than before: one gap, at the loss",
       [](Feed& f) {
         f.Steady(0, 999);
         for (int ms = 1; ms <= 50; ++ms) f.Look(0.9992 + ms * 1e-3);
         for (long k = 1050; k < 1080; ++k) {
           f.Enter(k);
           f.ReadAll(static_cast<double>(k) * 1e-3 + 2e-4);
         }
         for (long k = 1080; k < 3000; ++k) {
           f.Enter(k);
           f.ReadAll(static_cast<double>(k) * 1e-3 + 1.3e-3);
         }
       }},
      {"the last line before a silence taken by a read that waited for it",
       [](Feed& f) {
         f.Steady(0, 998);
         f.TakeUnlooked(999, 0.9992);
         for (int ms = 1; ms < 2500; ms += 20) f.Look(0.9992 + ms * 1e-3);
         f.Steady(3500, 5000);
       }},
      {"the stream ends while its last lines come in a few samples late",
       [](Feed& f) {
         f.Steady(0, 1999);
         for (long k = 2000; k < 2010; ++k) {
           f.Enter(k);
           f.ReadAll(static_cast<double>(k) * 1e-3 + 4.2e-3);
         }
       }},
      {"slow drift of the instrument's clock is no loss",
       [](Feed& f) {
         for (long k = 0; k < 60000; ++k) {
           f.Enter(k);
           f.ReadAll(static_cast<double>(k) * 1.00008e-3 + 2e-4);
         }
       }},
  };
  for (const auto& [name, run] : scenarios) {
    SCOPED_TRACE(name);
    Feed f;
    run(f);
    f.gaps.Settle(true);
    ASSERT_FALSE(f.out.empty());
    long position = f.out.front().index;
    long previous = position - 1;
    for (const Out& o : f.out) {
      if (o.gap) position += static_cast<long>(*o.gap);
      ASSERT_EQ(position, o.index) << "after " << previous;
      ASSERT_EQ(o.gap.has_value(), o.index != previous + 1) << "at " << o.index;
      previous = o.index;
      ++position;
    }
    EXPECT_EQ(f.gaps.HeldLines(), 0u);
  }
}

// Without a period there is no clock to count by: a line after a full ring
// is marked as missing an unknown number, and nothing moves.
TEST(GapLocator, WithoutAPeriodOnlyAFullRingIsMarked) {
  Feed f(0);
  f.Steady(0, 9);
  f.Steady(20, 29, true);
  f.gaps.Settle(true);
  ASSERT_EQ(f.out.size(), 20u);
  for (size_t k = 0; k < f.out.size(); ++k) {
    SCOPED_TRACE(f.out[k].index);
    EXPECT_EQ(f.out[k].gap, k == 10 ? std::optional<uint64_t>(0) : std::nullopt);
  }
}

}  // namespace
}  // namespace vozihost
