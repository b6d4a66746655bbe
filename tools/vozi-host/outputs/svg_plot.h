#pragma once
// Every channel of a run against time in one self-contained SVG file: a
// title, a legend, one lane per channel with its own value axis (channels
// differ in units and size: an ECG in millivolts would be a flat line on the
// scale of a counter), a shared time axis, and one polyline per channel.
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vozihost {

struct PlotChannel {
  std::string label;                            // "ECG (mV)"
  std::vector<std::pair<double, double>> points;  // (time in s, value), time increasing
};

struct PlotData {
  std::string title;
  std::vector<PlotChannel> channels;
  std::vector<double> gaps;  // times (s) before which samples are missing
};

std::string RenderSvg(const PlotData& plot);
bool WriteSvg(const std::filesystem::path& path, const PlotData& plot, std::string* error);

// Axis ticks at round values (1, 2 or 5 times a power of ten) inside
// [low, high], about `target` intervals apart.
std::vector<double> NiceTicks(double low, double high, int target);

// Text for XML content and attribute values.
std::string XmlEscape(std::string_view text);

}  // namespace vozihost
