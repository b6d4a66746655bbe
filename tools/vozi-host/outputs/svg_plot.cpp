#include "outputs/svg_plot.h"

#include <algorithm>
#include <cmath>
#include "outputs/number_text.h"
#include "outputs/output_files.h"

namespace vozihost {
namespace {

constexpr double kWidth = 1000;
constexpr double kLeft = 90;   // room for the value labels
constexpr double kRight = 20;
constexpr double kTitleHeight = 30;
constexpr double kLegendRow = 18;
constexpr double kLaneHeight = 110;
constexpr double kLaneGap = 24;
constexpr double kAxisHeight = 45;  // time ticks and axis title

constexpr const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                    "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};

const char* Colour(size_t i) { return kColours[i % (sizeof kColours / sizeof kColours[0])]; }

// Coordinates to a tenth of a pixel: enough for any screen, and short files.
std::string Px(double v) { return FormatNumber(std::round(v * 10) / 10, 8); }

struct Span {
  double low, high;
};

Span TimeSpan(const PlotData& plot) {
  double low = 0, high = 0;
  bool any = false;
  for (const PlotChannel& c : plot.channels) {
    if (c.points.empty()) continue;
    low = any ? std::min(low, c.points.front().first) : c.points.front().first;
    high = any ? std::max(high, c.points.back().first) : c.points.back().first;
    any = true;
  }
  if (high <= low) high = low + 1;
  return {low, high};
}

// The lane shows what the channel did, with a little room above and below.
Span ValueSpan(const PlotChannel& c) {
  if (c.points.empty()) return {0, 1};
  auto [lo, hi] = std::minmax_element(c.points.begin(), c.points.end(),
                                      [](auto& a, auto& b) { return a.second < b.second; });
  double low = lo->second, high = hi->second;
  if (high == low) {
    const double pad = low == 0 ? 1 : std::abs(low) * 0.1;
    return {low - pad, high + pad};
  }
  const double pad = (high - low) * 0.05;
  return {low - pad, high + pad};
}

struct Frame {
  double x0, x1;  // plot area, left and right
  Span time;
  double Xof(double t) const { return x0 + (t - time.low) / (time.high - time.low) * (x1 - x0); }
};

void Lane(std::string& svg, const PlotChannel& c, size_t i, const Frame& f, double top) {
  const double bottom = top + kLaneHeight;
  const Span v = ValueSpan(c);
  auto y = [&](double value) { return bottom - (value - v.low) / (v.high - v.low) * kLaneHeight; };
  svg += "<text x=\"" + Px(f.x0) + "\" y=\"" + Px(top - 6) + "\" fill=\"" + Colour(i) +
         "\" font-weight=\"bold\">" + XmlEscape(c.label) + "</text>\n";
  svg += "<rect x=\"" + Px(f.x0) + "\" y=\"" + Px(top) + "\" width=\"" + Px(f.x1 - f.x0) +
         "\" height=\"" + Px(kLaneHeight) + "\" fill=\"none\" stroke=\"#999\"/>\n";
  for (double tick : NiceTicks(v.low, v.high, 4)) {
    svg += "<line x1=\"" + Px(f.x0 - 4) + "\" y1=\"" + Px(y(tick)) + "\" x2=\"" + Px(f.x1) +
           "\" y2=\"" + Px(y(tick)) + "\" stroke=\"#e4e4e4\"/>\n";
    svg += "<text x=\"" + Px(f.x0 - 7) + "\" y=\"" + Px(y(tick) + 4) +
           "\" text-anchor=\"end\">" + FormatNumber(tick, 6) + "</text>\n";
  }
  if (c.points.empty()) {
    svg += "<text x=\"" + Px((f.x0 + f.x1) / 2) + "\" y=\"" + Px(top + kLaneHeight / 2) +
           "\" text-anchor=\"middle\" fill=\"#999\">no samples</text>\n";
    return;
  }
  svg += "<polyline fill=\"none\" stroke-width=\"1.2\" stroke=\"" + std::string(Colour(i)) +
         "\" points=\"";
  for (const auto& [t, value] : c.points) svg += Px(f.Xof(t)) + "," + Px(y(value)) + " ";
  if (svg.back() == ' ') svg.pop_back();
  svg += "\"/>\n";
}

void TimeAxis(std::string& svg, const Frame& f, double top, double bottom) {
  for (double tick : NiceTicks(f.time.low, f.time.high, 10)) {
    const double x = f.Xof(tick);
    svg += "<line x1=\"" + Px(x) + "\" y1=\"" + Px(top) + "\" x2=\"" + Px(x) + "\" y2=\"" +
           Px(bottom + 4) + "\" stroke=\"#f0f0f0\"/>\n";
    svg += "<text x=\"" + Px(x) + "\" y=\"" + Px(bottom + 18) + "\" text-anchor=\"middle\">" +
           FormatNumber(tick, 6) + "</text>\n";
  }
  svg += "<text x=\"" + Px((f.x0 + f.x1) / 2) + "\" y=\"" + Px(bottom + 38) +
         "\" text-anchor=\"middle\">time (s)</text>\n";
}

// Samples are missing just before each of these times: a dashed red line
// across every lane, so a line drawn over the hole is not taken for data.
void GapMarks(std::string& svg, const Frame& f, const std::vector<double>& gaps, double top, double bottom) {
  for (double t : gaps) {
    const double x = f.Xof(t);
    svg += "<line class=\"gap\" x1=\"" + Px(x) + "\" y1=\"" + Px(top) + "\" x2=\"" + Px(x) + "\" y2=\"" +
           Px(bottom) + "\" stroke=\"#e00000\" stroke-dasharray=\"4 3\"/>\n";
    svg += "<text x=\"" + Px(x + 3) + "\" y=\"" + Px(top + 11) + "\" fill=\"#e00000\">gap</text>\n";
  }
}

void Legend(std::string& svg, const PlotData& plot, double top) {
  double x = kLeft;
  double y = top;
  for (size_t i = 0; i < plot.channels.size(); ++i) {
    const std::string& label = plot.channels[i].label;
    const double width = 30 + 7.0 * static_cast<double>(label.size());
    if (x + width > kWidth - kRight && x > kLeft) {
      x = kLeft;
      y += kLegendRow;
    }
    svg += "<line x1=\"" + Px(x) + "\" y1=\"" + Px(y - 4) + "\" x2=\"" + Px(x + 18) + "\" y2=\"" +
           Px(y - 4) + "\" stroke-width=\"3\" stroke=\"" + Colour(i) + "\"/>\n";
    svg += "<text x=\"" + Px(x + 23) + "\" y=\"" + Px(y) + "\">" + XmlEscape(label) + "</text>\n";
    x += width;
  }
}

int LegendRows(const PlotData& plot) {
  int rows = 1;
  double x = kLeft;
  for (const PlotChannel& c : plot.channels) {
    const double width = 30 + 7.0 * static_cast<double>(c.label.size());
    if (x + width > kWidth - kRight && x > kLeft) {
      x = kLeft;
      ++rows;
    }
    x += width;
  }
  return rows;
}

}  // namespace

std::string XmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::vector<double> NiceTicks(double low, double high, int target) {
  std::vector<double> ticks;
  if (!(high > low) || target < 1 || !std::isfinite(high - low)) {
    if (std::isfinite(low)) ticks.push_back(low);
    return ticks;
  }
  // The round step nearest (by ratio) to an even division of the span,
  // kept as mantissa and power of ten.
  const double raw = (high - low) / target;
  const int exponent = static_cast<int>(std::floor(std::log10(raw)));
  const double power = std::pow(10.0, exponent);
  double mantissa = 1;
  for (double m : {2.0, 5.0, 10.0}) {
    if (std::abs(std::log(m * power / raw)) < std::abs(std::log(mantissa * power / raw))) mantissa = m;
  }
  const double step = mantissa * power;
  // k * mantissa is a whole number, and dividing it by a power of ten
  // (rather than multiplying by 0.1...) gives the nearest double to the
  // decimal value: 0.6, not 0.6000000000000001.
  auto tick = [&](double k) {
    return exponent < 0 ? k * mantissa / std::pow(10.0, -exponent) : k * mantissa * power;
  };
  const double tolerance = step * 1e-9;
  const double first = std::ceil((low - tolerance) / step);
  for (double k = first; tick(k) <= high + tolerance && k - first < 1000; ++k) {
    ticks.push_back(k == 0 ? 0.0 : tick(k));
  }
  return ticks;
}

std::string RenderSvg(const PlotData& plot) {
  const double legendTop = kTitleHeight + 16;
  const double lanesTop = legendTop + LegendRows(plot) * kLegendRow + 14;
  const size_t lanes = std::max<size_t>(plot.channels.size(), 1);
  const double lanesBottom = lanesTop + static_cast<double>(lanes) * (kLaneHeight + kLaneGap) - kLaneGap;
  const double height = lanesBottom + kAxisHeight;
  const Frame frame{kLeft, kWidth - kRight, TimeSpan(plot)};

  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Px(kWidth) + "\" height=\"" +
         Px(height) + "\" viewBox=\"0 0 " + Px(kWidth) + " " + Px(height) +
         "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg += "<text x=\"" + Px(kWidth / 2) + "\" y=\"22\" text-anchor=\"middle\" font-size=\"16\">" +
         XmlEscape(plot.title) + "</text>\n";
  Legend(svg, plot, legendTop);
  TimeAxis(svg, frame, lanesTop, lanesBottom);
  for (size_t i = 0; i < plot.channels.size(); ++i) {
    Lane(svg, plot.channels[i], i, frame, lanesTop + static_cast<double>(i) * (kLaneHeight + kLaneGap));
  }
  GapMarks(svg, frame, plot.gaps, lanesTop, lanesBottom);
  svg += "</svg>\n";
  return svg;
}

bool WriteSvg(const std::filesystem::path& path, const PlotData& plot, std::string* error) {
  return WriteWholeFile(path, RenderSvg(plot), error);
}

}  // namespace vozihost
