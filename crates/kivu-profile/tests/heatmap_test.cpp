#include "heatmap.hpp"

#include <cmath>
#include <limits>
#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "profile_fixtures.hpp"

namespace {

using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_profile::HeatmapOptions;
using kivu_profile::share_colour;
using kivu_profile::testing::sample;

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

TEST(Heatmap, DrawsOneCellPerTileOfThePhysicalGrid) {
  const auto cells = cells_of(heatmap_of(kivu_profile::testing::gemm_like_profile()));
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
  ProfileReport report{1000,
                       {{0, {sample(ProfileStepKind::Compute, 0, 100)}},
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

// Tiles without data are hatched: their fill is a pattern of the document,
// with stripes of a tone of its own, and the legend's swatch shows the same.
TEST(Heatmap, HatchesTilesWithoutDataAndShowsTheHatchInTheLegend) {
  const std::string svg = heatmap_of(ProfileReport{1000, {{0, {sample(ProfileStepKind::Compute, 0, 10)}}}});
  const auto cells = cells_of(svg);
  EXPECT_EQ(cells.at(1).fill, "url(#no-data)");
  tinyxml2::XMLDocument document;
  ASSERT_EQ(document.Parse(svg.c_str(), svg.size()), tinyxml2::XML_SUCCESS);
  const tinyxml2::XMLElement* pattern = nullptr;
  const tinyxml2::XMLElement* swatch = nullptr;
  for_each_element(document.RootElement(), [&](const tinyxml2::XMLElement* element) {
    if (std::string_view(element->Name()) == "pattern" && element->Attribute("id", "no-data")) pattern = element;
    if (element->Attribute("class", "no-data")) swatch = element;
  });
  ASSERT_NE(pattern, nullptr);
  std::vector<std::string> tones;
  for_each_element(pattern,
                   [&](const tinyxml2::XMLElement* element) { tones.emplace_back(element->Attribute("fill")); });
  EXPECT_EQ(tones.size(), 2u) << "a background and a stripe";
  EXPECT_THAT(tones, testing::Contains("#ffffff"));
  ASSERT_NE(swatch, nullptr);
  EXPECT_STREQ(swatch->Attribute("fill"), "url(#no-data)");
}

TEST(Heatmap, LabelsRowsPositionsAndTheLegend) {
  const auto texts = texts_of(heatmap_of(kivu_profile::testing::gemm_like_profile(), {std::nullopt, "gemm.capnp"}));
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
  ProfileReport report{1000,
                       {{0, {sample(ProfileStepKind::Compute, 0, 100), sample(ProfileStepKind::Compute, 0, 100)}}}};
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

// =============================================================================
// Change heatmap

std::string change_heatmap_of(const ProfileReport& base, const ProfileReport& next, HeatmapOptions options = {}) {
  std::ostringstream out;
  kivu_profile::write_change_heatmap(kivu_profile::compute_stats(base), kivu_profile::compute_stats(next), out,
                                     options);
  return out.str();
}

TEST(ChangeHeatmap, ColoursEachTileByTheChangeOfItsBusyCycles) {
  const ProfileReport base{1000,
                           {{0, {sample(ProfileStepKind::Compute, 0, 100)}},
                            {1, {sample(ProfileStepKind::Compute, 0, 100)}},
                            {2, {sample(ProfileStepKind::Compute, 0, 100)}},
                            {3, {sample(ProfileStepKind::Compute, 0, 100)}},
                            {4, {sample(ProfileStepKind::Idle, 0, 100)}}}};
  const ProfileReport next{1000,
                           {{0, {sample(ProfileStepKind::Compute, 0, 120)}},
                            {1, {sample(ProfileStepKind::Compute, 0, 100)}},
                            {2, {sample(ProfileStepKind::Exchange, 0, 90)}},
                            {4, {sample(ProfileStepKind::Compute, 0, 10)}},
                            {5, {sample(ProfileStepKind::Compute, 0, 10)}}}};
  const auto svg = change_heatmap_of(base, next, {std::nullopt, "new.capnp against base.capnp"});
  const auto cells = cells_of(svg);
  ASSERT_EQ(cells.size(), 1472u);
  EXPECT_EQ(cells.at(0).title, "tile 0 (row 0, position 0): busy cycles base 100, new 120, change +20 (+20.0%)");
  EXPECT_EQ(cells.at(1).title, "tile 1 (row 0, position 1): busy cycles base 100, new 100, unchanged");
  EXPECT_EQ(cells.at(3).title, "tile 3 (row 0, position 3): only in the base profile (busy 100 cycles)");
  EXPECT_EQ(cells.at(5).title, "tile 5 (row 0, position 5): only in the new profile (busy 10 cycles)");
  EXPECT_EQ(cells.at(6).title, "tile 6 (row 0, position 6): in neither profile");

  // The largest change held is 20%, so the scale is clipped at 25%.
  EXPECT_EQ(cells.at(0).fill, kivu_profile::change_colour(0.2, 0.25));
  EXPECT_EQ(cells.at(1).fill, kivu_profile::change_colour(0.0, 0.25));
  EXPECT_EQ(cells.at(2).fill, kivu_profile::change_colour(-0.1, 0.25));
  EXPECT_EQ(cells.at(4).fill, kivu_profile::change_colour(1.0, 0.25)) << "growth from 0 is the most slower";
  EXPECT_EQ(cells.at(3).fill, cells.at(6).fill);
  EXPECT_EQ(cells.at(5).fill, cells.at(6).fill);
  for (const int tile : {0, 1, 2, 4}) EXPECT_NE(cells.at(tile).fill, cells.at(6).fill) << tile;

  const auto texts = texts_of(svg);
  const auto has = [&](const std::string& text) { return std::ranges::find(texts, text) != texts.end(); };
  EXPECT_TRUE(has("new.capnp against base.capnp: change of busy cycles per tile"));
  EXPECT_TRUE(has("change of busy cycles: blue faster, red slower, clipped at \u00b125%"));
  for (const char* tick : {"\u2264 -25%", "-12.5%", "0%", "+12.5%", "\u2265 +25%"}) EXPECT_TRUE(has(tick)) << tick;
}

TEST(ChangeHeatmap, SaysInTheLegendWhenNothingChangedAndKeepsUnchangedApartFromMissing) {
  const ProfileReport base{1000,
                           {{0, {sample(ProfileStepKind::Compute, 0, 100)}},
                            {1, {sample(ProfileStepKind::Idle, 0, 100)}},
                            {2, {sample(ProfileStepKind::Compute, 0, 50)}}}};
  ProfileReport next = base;
  next.tiles.pop_back();
  const auto svg = change_heatmap_of(base, next);
  const auto cells = cells_of(svg);
  EXPECT_EQ(cells.at(0).title, "tile 0 (row 0, position 0): busy cycles base 100, new 100, unchanged");
  EXPECT_EQ(cells.at(1).title, "tile 1 (row 0, position 1): busy cycles base 0, new 0, unchanged");
  EXPECT_EQ(cells.at(0).fill, kivu_profile::change_colour(0.0, 0.05));
  EXPECT_EQ(cells.at(2).fill, "url(#no-data)") << "only in the base profile";
  EXPECT_EQ(cells.at(3).fill, "url(#no-data)") << "in neither";
  const auto texts = texts_of(svg);
  const auto has = [&](const std::string& text) { return std::ranges::find(texts, text) != texts.end(); };
  EXPECT_TRUE(has("no change: each of the 2 tiles in both profiles has the same busy cycles"));

  // The caption of a real change stays the scale's.
  next.tiles[0].samples[0].end_cycle = 101;
  EXPECT_THAT(texts_of(change_heatmap_of(base, next)),
              testing::Contains("change of busy cycles: blue faster, red slower, clipped at \u00b15%"));
  const ProfileReport elsewhere{1000, {{9, {sample(ProfileStepKind::Compute, 0, 100)}}}};
  EXPECT_THAT(texts_of(change_heatmap_of(base, elsewhere)),
              testing::Contains("no tile is in both profiles: nothing to compare"));
}

TEST(ChangeHeatmap, ComparesOneStepKindWhenAsked) {
  const ProfileReport base{1000,
                           {{0, {sample(ProfileStepKind::Compute, 0, 50), sample(ProfileStepKind::Idle, 50, 100)}}}};
  const ProfileReport next{1000,
                           {{0, {sample(ProfileStepKind::Compute, 0, 50), sample(ProfileStepKind::Idle, 50, 60)}}}};
  const auto cells = cells_of(change_heatmap_of(base, next, {ProfileStepKind::Idle, ""}));
  EXPECT_EQ(cells.at(0).title, "tile 0 (row 0, position 0): idle cycles base 50, new 10, change -40 (-80.0%)");
  EXPECT_EQ(cells.at(0).fill, kivu_profile::change_colour(-0.8, 1.0));
}

TEST(ChangeColour, DivergesFromNeutralAndClipsAtTheRange) {
  using kivu_profile::change_colour;
  EXPECT_EQ(change_colour(0.0, 0.5), "#f7f7f7");
  EXPECT_EQ(change_colour(-0.5, 0.5), "#2166ac");
  EXPECT_EQ(change_colour(0.5, 0.5), "#b2182b");
  EXPECT_EQ(change_colour(-3.0, 0.5), change_colour(-0.5, 0.5));
  EXPECT_EQ(change_colour(std::numeric_limits<double>::infinity(), 0.5), change_colour(0.5, 0.5));
  EXPECT_EQ(change_colour(std::nan(""), 0.5), change_colour(0.0, 0.5));
  EXPECT_NE(change_colour(0.1, 0.5), change_colour(-0.1, 0.5));
  EXPECT_EQ(kivu_profile::change_range(0.0), 0.05);
  EXPECT_EQ(kivu_profile::change_range(0.05), 0.05);
  EXPECT_EQ(kivu_profile::change_range(0.051), 0.1);
  EXPECT_EQ(kivu_profile::change_range(50.0), 2.0);
}

}  // namespace
