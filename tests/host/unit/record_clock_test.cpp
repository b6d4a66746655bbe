// How the recorder estimates a sender's clock from four-timestamp exchanges:
// the offset of the fastest exchange of each burst, the slow bursts left
// out, a drifting clock followed; and the exchange messages a hostile
// network might send refused.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "publish/clock_messages.h"
#include "record/clock_estimate.h"

namespace vozihost {
namespace {

// An exchange at recorder time t with a sender `offset` ahead, the request
// taking `out` and the reply `back` microseconds, the sender 20 us to answer.
ClockExchange Exchange(int64_t t, double offset, int64_t out, int64_t back) {
  const int64_t t2 = t + out + static_cast<int64_t>(std::llround(offset));
  return ClockExchange{t, t2, t2 + 20, t + out + 20 + back};
}

constexpr int64_t kStart = 1796727257000000;  // 2026-12-08

struct Burst {
  int64_t at;                                  // recorder time of the burst's first exchange
  std::vector<std::pair<int64_t, int64_t>> paths;  // out and back of each exchange
};

TEST(ClockEstimate, FastestExchangesCountSlowBurstsAreLeftOutAndDriftIsFollowed) {
  struct Case {
    const char* what;
    std::function<double(int64_t)> offset;  // the true offset at recorder time t
    std::vector<Burst> bursts;
    int64_t at;                             // where the estimate is checked
    double within;                          // microseconds
  };
  const auto constant = [](double o) { return [o](int64_t) { return o; }; };
  // Lopsided slow exchanges (a reply queued behind samples) beside one
  // symmetric fast one: their mean is 2 ms off, the fastest is exact.
  const std::vector<std::pair<int64_t, int64_t>> noisy{{300, 9000}, {80, 80}, {500, 4000}, {2000, 200}, {150, 6000}};
  std::vector<Burst> steady, withCongestion, drifting;
  for (int k = 0; k < 30; ++k) {
    steady.push_back(Burst{kStart + k * 2000000LL, noisy});
    drifting.push_back(Burst{kStart + k * 2000000LL, noisy});
    // Every third burst slow throughout, and lopsided: the better half of
    // the bursts by round trip leaves these out.
    withCongestion.push_back(Burst{kStart + k * 2000000LL,
                                   k % 3 == 0 ? std::vector<std::pair<int64_t, int64_t>>{{200, 30000}, {300, 25000}}
                                              : noisy});
  }
  const int64_t end = kStart + 29 * 2000000LL;
  const Case cases[] = {
      {"one burst", constant(2.5e6), {Burst{kStart, noisy}}, kStart, 1},
      {"a clock behind", constant(-1.5e6), steady, end, 1},
      {"congested bursts", constant(7300), withCongestion, end, 1},
      // 80 ppm: the offset moves 4.6 ms over the minute measured.
      {"a drifting clock", [](int64_t t) { return 2.5e6 + 80e-6 * static_cast<double>(t - kStart); }, drifting, end,
       20},
  };
  for (const Case& c : cases) {
    ClockEstimator estimator;
    uint64_t burst = 0;
    for (const Burst& b : c.bursts) {
      ++burst;
      int64_t t = b.at;
      for (const auto& [out, back] : b.paths) {
        ASSERT_TRUE(estimator.Add(burst, Exchange(t, c.offset(t), out, back))) << c.what;
        t += 15000;
      }
    }
    const auto e = estimator.Estimate();
    ASSERT_TRUE(e) << c.what;
    EXPECT_NEAR(e->OffsetAt(static_cast<double>(c.at)), c.offset(c.at), c.within) << c.what;
    // A time on the sender's clock comes back onto the recorder's.
    const int64_t sender = c.at + static_cast<int64_t>(std::llround(c.offset(c.at)));
    EXPECT_NEAR(static_cast<double>(e->ToRecorder(sender)), static_cast<double>(c.at), c.within + 1) << c.what;
    EXPECT_EQ(e->roundTripUs, 160) << c.what;
  }
}

// On one machine the fastest exchange is still a little lopsided: its 20 us
// are no offset, and a time keeps its value (so the recorder's files equal
// the publisher's own); an offset beyond half the round trip is applied.
TEST(ClockEstimate, AnOffsetWithinHalfTheRoundTripIsNone) {
  for (const double offset : {0.0, 200.0}) {
    ClockEstimator estimator;
    ASSERT_TRUE(estimator.Add(1, Exchange(kStart, offset, 60, 100)));
    const auto e = estimator.Estimate();
    ASSERT_TRUE(e);
    const int64_t sender = kStart + 5000000;
    EXPECT_EQ(e->ToRecorder(sender), offset == 0 ? sender : sender - 180) << offset;
  }
}

// Every exchange is off by at most half its round trip; the estimate, built
// from several, by at most the bound it states, which must still be close to
// what the exchanges allow (not a bound so loose it says nothing); and a
// burst far slower than the fastest does not drag the estimate.
TEST(ClockEstimate, TheStatedBoundHoldsAndBurstsSlowThroughoutAreLeftOut) {
  struct Case {
    const char* what;
    double drift;                                    // true offset change per microsecond
    // Out and back of each burst's only exchange; each burst is followed by
    // one slower than any, which the better half leaves out.
    std::vector<std::pair<int64_t, int64_t>> bests;
    double bound;                                    // expected, microseconds
    double error;                                    // expected magnitude, microseconds
  };
  const Case cases[] = {
      // Half the fastest round trip is 100 us; the other three, 400 us long,
      // their requests 380 us slower, are 190 us off: the mean is 142.5 us
      // off. Bound: (100 + 3 * 200) / 4.
      {"a fast balanced burst beside lopsided ones", 0, {{100, 100}, {390, 10}, {390, 10}, {390, 10}}, 175, 142.5},
      // Bursts slow throughout (the sender not scheduled for 100 ms), as
      // lopsided as they are long, are the better half with a fast one
      // while few bursts are known: only the fast one counts, 2.5 ms off.
      {"bursts slow throughout beside a fast one", 0, {{93000, 1000}, {112000, 2000}, {6000, 1000}}, 3500, 2500},
      {"balanced bursts", 0, {{100, 100}, {100, 100}, {120, 120}, {150, 150}}, 117.5, 0},
      // 30 bursts over two minutes, the first half lopsided one way (80 us
      // off), the second the other way (-80 us), every round trip 200 us:
      // the fitted line reads a slope into it, and at its end it is 116 us
      // off, beyond half the round trip. The bound weighs the late bursts
      // more and the early ones against them: 162.4 us.
      {"a line fitted through lopsided exchanges", 0, [] {
         std::vector<std::pair<int64_t, int64_t>> v(15, {180, 20});
         v.insert(v.end(), 15, {20, 180});
         return v;
       }(), 162.37, 116.13},
      {"a drifting clock, balanced", 50e-6, std::vector<std::pair<int64_t, int64_t>>(30, {100, 100}), 162.37, 0},
  };
  for (const Case& c : cases) {
    ClockEstimator estimator;
    uint64_t burst = 0;
    const auto add = [&](int64_t out, int64_t back) {
      const int64_t t = kStart + static_cast<int64_t>(burst) * 2000000LL;
      return estimator.Add(++burst, Exchange(t, 2.5e6 + c.drift * static_cast<double>(t - kStart), out, back));
    };
    for (const auto& [out, back] : c.bests) {
      ASSERT_TRUE(add(out, back));
      ASSERT_TRUE(add(60000, 60000));
    }
    const auto e = estimator.Estimate();
    ASSERT_TRUE(e) << c.what;
    const double error = e->offsetUs - (2.5e6 + c.drift * (e->atUs - static_cast<double>(kStart)));
    EXPECT_LE(std::abs(error), e->boundUs) << c.what;
    EXPECT_NEAR(std::abs(error), c.error, 0.5) << c.what;
    EXPECT_GE(e->boundUs, static_cast<double>(e->roundTripUs) / 2) << c.what;
    EXPECT_NEAR(e->boundUs, c.bound, 0.01) << c.what;
  }
}

TEST(ClockEstimate, ImpossibleExchangesAreRefused) {
  ClockEstimator estimator;
  // The sender answering before it was asked, by more than the round trip.
  EXPECT_FALSE(estimator.Add(1, ClockExchange{1000, 5000, 4000, 1200}));
  EXPECT_FALSE(estimator.Add(1, ClockExchange{1000, 5000, 9000, 1200}));  // longer to answer than the round trip
  EXPECT_FALSE(estimator.Estimate());
  EXPECT_TRUE(estimator.Add(1, ClockExchange{1000, 5000, 5010, 1200}));
  EXPECT_NEAR(estimator.Estimate()->offsetUs, 3905, 0.01);
}

TEST(ClockMessages, RequestsAreAnsweredOnlyUnderTheClocksReplyTopicAndRepliesAreBounded) {
  const std::string base = ClockReplyBase("lab/vozi", "pc-12-abc");
  struct Case {
    const char* what;
    std::string payload;
    bool request;  // accepted as a request (else as a reply)
    bool accepted;
  };
  const Case cases[] = {
      {"a request", R"({"t1": 5, "reply": ")" + base + R"(rec-1"})", true, true},
      {"a reply topic elsewhere", R"({"t1": 5, "reply": "lab/vozi/42/info"})", true, false},
      {"the base alone", R"({"t1": 5, "reply": ")" + base + R"("})", true, false},
      {"a wildcard", R"({"t1": 5, "reply": ")" + base + R"(#"})", true, false},
      {"an empty level", R"({"t1": 5, "reply": ")" + base + R"(a//b"})", true, false},
      {"a fractional t1", R"({"t1": 5.5, "reply": ")" + base + R"(r"})", true, false},
      {"nested", R"({"t1": 5, "reply": ")" + base + R"(r", "x": {"y": 1}})", true, false},
      {"oversized", R"({"t1": 5, "reply": ")" + base + "r\", \"pad\": \"" + std::string(2000, 'x') + "\"}", true,
       false},
      {"a reply", R"({"t1": 5, "t2": 9, "t3": 10})", false, true},
      {"a reply answering before it was asked", R"({"t1": 5, "t2": 9, "t3": 8})", false, false},
      {"a reply taking over a second to answer", R"({"t1": 5, "t2": 9, "t3": 2000010})", false, false},
      {"a reply beyond the year 9999", R"({"t1": 5, "t2": 253402300800000001, "t3": 253402300800000001})", false,
       false},
      {"a reply missing t3", R"({"t1": 5, "t2": 9})", false, false},
      {"not JSON", "t1=5", false, false},
  };
  for (const Case& c : cases) {
    std::string why;
    const bool accepted =
        c.request ? ParseClockRequest(c.payload, base, &why).has_value() : ParseClockReply(c.payload, &why).has_value();
    EXPECT_EQ(accepted, c.accepted) << c.what << ": " << why;
  }
  EXPECT_TRUE(ValidClockName(ProcessClockName()));
  EXPECT_EQ(ProcessClockName(), ProcessClockName());
  EXPECT_FALSE(ValidClockName("a/b"));
  EXPECT_FALSE(ValidClockName(std::string(kMaxClockNameBytes + 1, 'a')));
}

}  // namespace
}  // namespace vozihost
