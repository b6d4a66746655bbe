// The SVG plot: round ticks, escaped text, and every point inside its lane.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "outputs/svg_plot.h"

namespace vozihost {
namespace {

TEST(NiceTicks, RoundStepsInsideTheSpan) {
  EXPECT_EQ(NiceTicks(0, 3, 10), (std::vector<double>{0, 0.2, 0.4, 0.6, 0.8, 1, 1.2, 1.4, 1.6, 1.8,
                                                        2, 2.2, 2.4, 2.6, 2.8, 3}));
  EXPECT_EQ(NiceTicks(-4.4, 4.4, 4), (std::vector<double>{-4, -2, 0, 2, 4}));
  EXPECT_EQ(NiceTicks(0.5, 249.5, 4), (std::vector<double>{50, 100, 150, 200}));
  EXPECT_EQ(NiceTicks(-0.3, 0.3, 3), (std::vector<double>{-0.2, 0, 0.2}));  // no -5.55e-17
  EXPECT_EQ(NiceTicks(7, 7, 4), (std::vector<double>{7}));
  EXPECT_EQ(NiceTicks(1e6, 1e6 + 10, 5), (std::vector<double>{1e6, 1e6 + 2, 1e6 + 4, 1e6 + 6, 1e6 + 8, 1e6 + 10}));
}

TEST(SvgPlot, EscapesLabelsAndTitle) {
  EXPECT_EQ(XmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
  PlotData plot{"R&D <test>", {{"I (µA) <raw>", {{0, 1}, {1, 2}}}}, {}};
  const std::string svg = RenderSvg(plot);
  EXPECT_NE(svg.find("R&amp;D &lt;test&gt;"), std::string::npos);
  EXPECT_NE(svg.find("I (µA) &lt;raw&gt;"), std::string::npos);
  EXPECT_EQ(svg.find("<raw>"), std::string::npos);
}

struct Point {
  double x, y;
};

std::vector<std::vector<Point>> Polylines(const std::string& svg) {
  std::vector<std::vector<Point>> lines;
  const std::regex polyline("<polyline[^>]* points=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), polyline); it != std::sregex_iterator(); ++it) {
    std::vector<Point> points;
    std::istringstream in((*it)[1].str());
    std::string pair;
    while (in >> pair) {
      const size_t comma = pair.find(',');
      points.push_back({std::stod(pair.substr(0, comma)), std::stod(pair.substr(comma + 1))});
    }
    lines.push_back(points);
  }
  return lines;
}

TEST(SvgPlot, OnePolylinePerChannelInItsOwnLane) {
  PlotData plot{"t", {}, {}};
  PlotChannel ramp{"Ramp (V)", {}};
  PlotChannel big{"Counter", {}};
  for (int n = 0; n <= 100; ++n) {
    ramp.points.emplace_back(n * 0.01, n * 0.1);
    big.points.emplace_back(n * 0.01, n * 1000.0 - 40000.0);
  }
  plot.channels = {ramp, big, {"Empty", {}}};
  const std::string svg = RenderSvg(plot);
  const auto lines = Polylines(svg);
  ASSERT_EQ(lines.size(), 2u);  // the empty channel has none
  EXPECT_NE(svg.find("no samples"), std::string::npos);
  for (size_t c = 0; c < lines.size(); ++c) {
    ASSERT_EQ(lines[c].size(), 101u);
    double top = 1e9, bottom = -1e9;
    for (const Point& p : lines[c]) {
      EXPECT_GE(p.x, 90.0);   // inside the plot area's left and right edges
      EXPECT_LE(p.x, 980.0);
      top = std::min(top, p.y);
      bottom = std::max(bottom, p.y);
    }
    EXPECT_NEAR(lines[c].front().x, 90.0, 0.05);  // time 0 at the left edge
    EXPECT_NEAR(lines[c].back().x, 980.0, 0.05);  // the last sample at the right
    // Each channel fills most of its own 110-pixel lane: scaled to its own
    // span, not to the largest channel's.
    EXPECT_GT(bottom - top, 90.0) << "channel " << c;
    EXPECT_LT(bottom - top, 110.0) << "channel " << c;
    if (c > 0) {
      double previousBottom = -1e9;
      for (const Point& p : lines[c - 1]) previousBottom = std::max(previousBottom, p.y);
      EXPECT_GT(top, previousBottom) << "lanes overlap";
    }
  }
  // Higher values are drawn higher up (smaller y).
  EXPECT_GT(lines[0].front().y, lines[0].back().y);
}

}  // namespace
}  // namespace vozihost
