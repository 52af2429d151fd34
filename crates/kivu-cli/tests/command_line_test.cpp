#include "kivu_cli/command_line.hpp"

#include <sstream>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivu_version.hpp"

namespace {

using Args = std::vector<std::string>;

// A tool with -o, --kind, a flag and its positional words, as the tools
// build theirs.
struct Tool {
  CLI::App app{"", "tool"};
  kivu_cli::StandardFlags flags = kivu_cli::prepare(app);
  CLI::Option* output = kivu_cli::add_output_option(app);
  CLI::Option* kind = kivu_cli::add_value_option(app, "--kind");
  CLI::Option* json = app.add_flag("--json");
  std::vector<std::string> words;
  Tool() { app.add_option("words", words); }
};

TEST(Parse, TakesOptionsAnywhereAndEverythingAfterTheMarkAsWords) {
  Tool tool;
  ASSERT_TRUE(kivu_cli::parse(tool.app, Args{"a", "-o", "-", "--kind=idle", "--", "-x", "--json", "--", "-h"}));
  EXPECT_EQ(tool.words, (Args{"a", "-x", "--json", "--", "-h"}));
  EXPECT_EQ(kivu_cli::output_path(*tool.output).value(), std::filesystem::path("-"));
  EXPECT_EQ(kivu_cli::single_value(*tool.kind, "--kind").value(), "idle");
  EXPECT_EQ(tool.json->count(), 0u);
  EXPECT_EQ(tool.flags.help->count(), 0u);
}

TEST(Parse, TakesAValueThatLooksLikeAnOptionAndKeepsAnEmptyOne) {
  Tool tool;
  ASSERT_TRUE(kivu_cli::parse(tool.app, Args{"--kind", "--json=x", "--output=", "a"}));
  EXPECT_EQ(kivu_cli::single_value(*tool.kind, "--kind").value(), "--json=x");
  EXPECT_EQ(tool.words, Args{"a"}) << "the word after an empty --output= is no output";
  EXPECT_EQ(kivu_cli::output_path(*tool.output).error(), "empty output path");
  Tool output;
  ASSERT_TRUE(kivu_cli::parse(output.app, Args{"-o", "--output="}));
  EXPECT_EQ(kivu_cli::output_path(*output.output).value(), std::filesystem::path("--output="));
}

TEST(Parse, NamesWhatIsWrongInOneLine) {
  const std::pair<Args, std::string> bad[] = {
      {{"a", "-o"}, "-o needs a value"},           {{"a", "--output"}, "--output needs a value"},
      {{"--kind"}, "--kind needs a value"},        {{"a", "--colour=red"}, R"(unknown option "--colour=red")"},
      {{"-xyz", "a"}, R"(unknown option "-xyz")"},
  };
  for (const auto& [args, reason] : bad) {
    Tool tool;
    const auto parsed = kivu_cli::parse(tool.app, args);
    ASSERT_FALSE(parsed) << reason;
    EXPECT_EQ(parsed.error(), reason);
  }
  for (const char* flag : {"--json=false", "--help=1", "--version="}) {
    Tool tool;
    const auto parsed = kivu_cli::parse(tool.app, Args{flag});
    ASSERT_FALSE(parsed) << flag;
    EXPECT_EQ(parsed.error(), std::string(flag).substr(0, std::string_view(flag).find('=')) + " takes no value");
  }
}

TEST(Parse, RefusesARepeatedValueOption) {
  Tool tool;
  ASSERT_TRUE(kivu_cli::parse(tool.app, Args{"-o", "a", "--output=b", "--kind", "x", "--kind", "y"}));
  EXPECT_EQ(kivu_cli::output_path(*tool.output).error(), "more than one output");
  EXPECT_EQ(kivu_cli::single_value(*tool.kind, "--kind").error(), "more than one --kind");
  Tool none;
  ASSERT_TRUE(kivu_cli::parse(none.app, Args{}));
  EXPECT_EQ(kivu_cli::output_path(*none.output).value(), std::nullopt);
}

TEST(Messages, AUsageErrorIsTwoLinesAndStatusTwo) {
  std::ostringstream err;
  EXPECT_EQ(kivu_cli::usage_error(err, "tool", "missing FILE", "usage: tool FILE"), 2);
  EXPECT_EQ(err.str(), "tool: missing FILE\nusage: tool FILE\n");
  std::ostringstream out;
  kivu_cli::print_version(out, "tool");
  EXPECT_EQ(out.str(), "tool " + std::string(kivu::workspace_version) + "\n");
}

}  // namespace
