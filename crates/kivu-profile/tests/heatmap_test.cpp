#include "heatmap.hpp"
#include "profile_fixtures.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <map>
#include <sstream>

using fixtures::sample;
using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_profile::HeatmapOptions;
using kivu_profile::share_colour;

namespace {

struct Cell {
  int x = 0;
  int y = 0;
  std::string fill;
  std::string title;
};

// The SVG of `report`, checked to parse as XML.
std::string heatmap_of(const ProfileReport& report, HeatmapOptions options = {}) {
  std::ostringstream out;
  kivu_profile::write_heatmap(report, out, options);
  return out.str();
}

// Calls `visit` for every element below `element`, depth first.
template <typename Visit>
void for_each_element(const tinyxml2::XMLElement* element, const Visit& visit) {
  for (auto* child = element->FirstChildElement(); child != nullptr; child = child->NextSiblingElement()) {
    visit(child);
    for_each_element(child, visit);
  }
}

// The grid cells by tile number; fails the test when the SVG is not XML.
std::map<int, Cell> cells_of(const std::string& svg) {
  tinyxml2::XMLDocument document;
  EXPECT_EQ(document.Parse(svg.c_str(), svg.size()), tinyxml2::XML_SUCCESS) << document.ErrorStr();
  std::map<int, Cell> cells;
  if (document.RootElement() == nullptr) return cells;
  EXPECT_STREQ(document.RootElement()->Name(), "svg");
  for_each_element(document.RootElement(), [&](const tinyxml2::XMLElement* element) {
    const char* type = element->Attribute("class");
    if (std::string_view(element->Name()) != "rect" || type == nullptr || std::string_view(type) != "cell") return;
    const auto* title = element->FirstChildElement("title");
    Cell cell{element->IntAttribute("x"), element->IntAttribute("y"), element->Attribute("fill"),
              title != nullptr && title->GetText() != nullptr ? title->GetText() : ""};
    EXPECT_TRUE(cells.emplace(element->IntAttribute("data-tile", -1), cell).second) << "one cell per tile";
  });
  return cells;
}

// Texts of all <text> elements.
std::vector<std::string> texts_of(const std::string& svg) {
  tinyxml2::XMLDocument document;
  document.Parse(svg.c_str(), svg.size());
  std::vector<std::string> texts;
  for_each_element(document.RootElement(), [&](const tinyxml2::XMLElement* element) {
    if (std::string_view(element->Name()) == "text" && element->GetText() != nullptr) {
      texts.emplace_back(element->GetText());
    }
  });
  return texts;
}

}  // namespace

TEST(Heatmap, DrawsOneCellPerTileOfThePhysicalGrid) {
  const auto cells = cells_of(heatmap_of(fixtures::gemm_like_profile()));
  ASSERT_EQ(cells.size(), 1472u);
  EXPECT_EQ(cells.begin()->first, 0);
  EXPECT_EQ(cells.rbegin()->first, 1471);
  // Same row, next position: right of it; 64 tiles on: one row down.
  EXPECT_GT(cells.at(1).x, cells.at(0).x);
  EXPECT_EQ(cells.at(1).y, cells.at(0).y);
  EXPECT_EQ(cells.at(64).x, cells.at(0).x);
  EXPECT_GT(cells.at(64).y, cells.at(0).y);
  EXPECT_EQ(cells.at(1471).x, cells.at(63).x);
  EXPECT_EQ(cells.at(1471).y, cells.at(1408).y);
}

TEST(Heatmap, ColoursEachCellByItsBusyShareOfTheRunsSpan) {
  ProfileReport report{1000, {{0, {sample(ProfileStepKind::Compute, 0, 100)}},
                              {1, {sample(ProfileStepKind::Exchange, 0, 25), sample(ProfileStepKind::Idle, 25, 100)}},
                              {2, {sample(ProfileStepKind::Idle, 0, 100)}},
                              {3, {sample(ProfileStepKind::Synchronization, 0, 50)}}}};
  const auto cells = cells_of(heatmap_of(report));
  EXPECT_EQ(cells.at(0).fill, share_colour(1.0));
  EXPECT_EQ(cells.at(1).fill, share_colour(0.25));
  EXPECT_EQ(cells.at(2).fill, share_colour(0.0));
  EXPECT_EQ(cells.at(3).fill, share_colour(0.5)) << "the share is of the whole run, not the tile's own samples";
  EXPECT_EQ(cells.at(1).title, "tile 1 (row 0, position 1): busy 25.0% (25 of 100 cycles)");
}

TEST(Heatmap, ColoursByOneStepKindsShareWhenAsked) {
  ProfileReport report{1000, {{0, {sample(ProfileStepKind::Compute, 0, 60), sample(ProfileStepKind::Idle, 60, 100)}}}};
  const auto cells = cells_of(heatmap_of(report, {ProfileStepKind::Idle, ""}));
  EXPECT_EQ(cells.at(0).fill, share_colour(0.4));
  EXPECT_EQ(cells.at(0).title, "tile 0 (row 0, position 0): idle 40.0% (40 of 100 cycles)");
}

TEST(Heatmap, GreysTilesWithoutSamplesAndTilesMissingFromTheProfile) {
  ProfileReport report{1000, {{66, {sample(ProfileStepKind::Compute, 0, 10)}}, {67, {}}}};
  const auto cells = cells_of(heatmap_of(report));
  EXPECT_EQ(cells.at(67).title, "tile 67 (row 1, position 3): no samples");
  EXPECT_EQ(cells.at(5).title, "tile 5 (row 0, position 5): not in the profile");
  EXPECT_EQ(cells.at(67).fill, cells.at(5).fill);
  for (double share : {0.0, 0.5, 1.0}) EXPECT_NE(cells.at(5).fill, share_colour(share));
}

TEST(Heatmap, LabelsRowsPositionsAndTheLegend) {
  const auto texts = texts_of(heatmap_of(fixtures::gemm_like_profile(), {std::nullopt, "gemm.capnp"}));
  const auto has = [&](const std::string& text) { return std::ranges::find(texts, text) != texts.end(); };
  EXPECT_TRUE(has("gemm.capnp: busy share per tile"));
  for (const char* label : {"0", "22", "60"}) EXPECT_TRUE(has(label)) << label;
  for (const char* tick : {"0%", "25%", "50%", "75%", "100%"}) EXPECT_TRUE(has(tick)) << tick;
  EXPECT_TRUE(has("busy share of the run's span"));
}

TEST(Heatmap, EscapesTheTitleSoTheDocumentStaysXml) {
  const std::string title = "a<b>&\"c\" 'd' \x01 \xff ✓";
  const auto svg = heatmap_of(ProfileReport{1000, {}}, {std::nullopt, title});
  EXPECT_EQ(cells_of(svg).size(), 1472u);
  const auto texts = texts_of(svg);
  EXPECT_NE(std::ranges::find(texts, "a<b>&\"c\" 'd' \uFFFD \uFFFD ✓: busy share per tile"), texts.end());
}

TEST(Heatmap, ClampsSharesAboveTheWholeSpanToTheTopColour) {
  // Overlapping samples make 200 busy cycles in a 100-cycle span.
  ProfileReport report{1000, {{0, {sample(ProfileStepKind::Compute, 0, 100), sample(ProfileStepKind::Compute, 0, 100)}}}};
  const auto cells = cells_of(heatmap_of(report));
  EXPECT_EQ(cells.at(0).fill, share_colour(1.0));
  EXPECT_EQ(cells.at(0).title, "tile 0 (row 0, position 0): busy 200.0% (200 of 100 cycles)");
}

TEST(EscapeXml, ReplacesMarkupCharactersAndInvalidText) {
  EXPECT_EQ(kivu_profile::escape_xml("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&apos;&lt;/a&gt;");
  EXPECT_EQ(kivu_profile::escape_xml("tab\tok\x7f"), "tab\tok\x7f");
  EXPECT_EQ(kivu_profile::escape_xml(std::string("nul\0x", 5)), "nul\uFFFDx");
  EXPECT_EQ(kivu_profile::escape_xml("\xc0\xaf overlong, \xed\xa0\x80 surrogate, cut \xe2\x9c"),
            "\uFFFD\uFFFD overlong, \uFFFD\uFFFD\uFFFD surrogate, cut \uFFFD\uFFFD");
  EXPECT_EQ(kivu_profile::escape_xml("\U0001F600"), "\U0001F600");
}

TEST(ShareColour, RunsFromVioletToYellowAndClamps) {
  EXPECT_EQ(share_colour(0.0), "#440154");
  EXPECT_EQ(share_colour(1.0), "#fde725");
  EXPECT_EQ(share_colour(-1.0), share_colour(0.0));
  EXPECT_EQ(share_colour(7.0), share_colour(1.0));
  EXPECT_EQ(share_colour(std::nan("")), share_colour(0.0));
  EXPECT_NE(share_colour(0.3), share_colour(0.31));
}
