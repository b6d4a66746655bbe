#pragma once
// The 16-channel stream the whole receive path is measured on, and the same
// lines handed to the decoder alone, so that the two costs compare like with
// like: vozi-sim options as key and value.
#include <string>
#include <utility>
#include <vector>

inline std::vector<std::pair<std::string, std::string>> BenchStreamOptions() {
  // 16 data channels after the time field; the last is a sample counter.
  return {{"channels", "17"},
          {"waves",
           "ramp,sine,square,ramp,sine,square,ramp,sine,square,ramp,sine,square,ramp,sine,square,ramp,counter"},
          {"maxima", "na,5,250,45,10,5,250,45,10,5,250,45,10,5,250,45,32767"},
          {"minima", "na,-5,0,20,0,-5,0,20,0,-5,0,20,0,-5,0,20,0"}};
}

// The burst stream's period: lines carry its time stamps.
inline constexpr const char* kBenchBurstPeriod = "0.00002";
