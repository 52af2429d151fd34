// Writing profiles: to a file (replaced atomically through kivu-output-file,
// whose own tests cover output files), to a stream and to a string, refusing
// what could not be read back, and reporting stream and operating-system
// failures with the reason.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "kivu_package.hpp"
#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"
#include "wire.hpp"

namespace {

namespace fs = std::filesystem;
using kivu_package::PackageError;
using kivu_package::ProfileReport;
using kivu_package::Utf8Error;
using Written = std::expected<void, PackageError>;
using kivu_testing::read_file;

// A fresh directory for one test, removed afterwards.
class ProfileFile : public testing::Test {
protected:
  [[nodiscard]] std::vector<std::string> entries() const { return kivu_testing::directory_entries(dir_); }

  const kivu_testing::ScratchDirectory scratch_;
  const fs::path dir_ = scratch_.path();
};

TEST_F(ProfileFile, WritesAFileThatReadsBackAsTheReport) {
  const ProfileReport report = kivu_package::testing::sample_report();
  const fs::path path = dir_ / "profile.capnp";
  ASSERT_TRUE(kivu_package::write_profile_file(report, path).has_value());
  auto read = ProfileReport::read(std::ifstream(path, std::ios::binary));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, report);
  EXPECT_EQ(entries(), std::vector<std::string>{"profile.capnp"});
}

TEST_F(ProfileFile, ReplacesAnExistingFile) {
  const fs::path path = dir_ / "profile.capnp";
  std::ofstream(path) << "an old profile that is longer than nothing";
  ASSERT_TRUE(kivu_package::write_profile_file(ProfileReport{}, path).has_value());
  EXPECT_EQ(read_file(path), *kivu_package::encode_profile(ProfileReport{}));
  EXPECT_EQ(entries(), std::vector<std::string>{"profile.capnp"});
}

TEST_F(ProfileFile, ReplacesASymbolicLinkInsteadOfFollowingIt) {
  const fs::path victim = dir_ / "victim";
  const fs::path path = dir_ / "profile.capnp";
  std::ofstream(victim) << "keep me";
  fs::create_symlink(victim, path);

  ASSERT_TRUE(kivu_package::write_profile_file(kivu_package::testing::sample_report(), path).has_value());
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(path)));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
  EXPECT_EQ(read_file(victim), "keep me");
  EXPECT_EQ(read_file(path), *kivu_package::encode_profile(kivu_package::testing::sample_report()));
}

TEST_F(ProfileFile, AMissingDirectoryIsAnIoErrorAndLeavesNothingBehind) {
  const auto written = kivu_package::write_profile_file(ProfileReport{}, dir_ / "missing" / "profile.capnp");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(debug_string(written.error()), R"(Io(Os { code: 2, message: "No such file or directory" }))");
  EXPECT_TRUE(entries().empty());
}

TEST_F(ProfileFile, ADirectoryAtThePathIsAnIoErrorAndStaysAsItWas) {
  const fs::path path = dir_ / "profile.capnp";
  fs::create_directory(path);
  fs::create_directory(path / "occupied");
  const auto written = kivu_package::write_profile_file(ProfileReport{}, path);
  ASSERT_FALSE(written.has_value());
  EXPECT_TRUE(written.error().is<PackageError::Io>()) << debug_string(written.error());
  EXPECT_EQ(entries(), std::vector<std::string>{"profile.capnp"});
}

TEST_F(ProfileFile, APathWithoutFileNameIsAnIoError) {
  const auto written = kivu_package::write_profile_file(ProfileReport{}, dir_.string() + "/");
  ASSERT_FALSE(written.has_value());
  EXPECT_TRUE(written.error().is<PackageError::Io>());
}

TEST_F(ProfileFile, InvalidUtf8IsRefusedBeforeAnyFileIsCreated) {
  ProfileReport report = kivu_package::testing::sample_report();
  report.tiles.back().samples.back().step.kernel = "ker\xc3";
  const auto written = kivu_package::write_profile_file(report, dir_ / "profile.capnp");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), PackageError(Utf8Error{3, std::nullopt}));
  EXPECT_EQ(kivu_package::debug_string(written.error()), "Utf8(Utf8Error { valid_up_to: 3, error_len: None })");
  EXPECT_TRUE(entries().empty());
}

TEST(ProfileEncode, RefusesInvalidUtf8InAnyText) {
  ProfileReport report = kivu_package::testing::sample_report();
  report.tiles[2].samples[1].step.metadata = {{"ok", "\xe2\x28\xa1"}};
  const auto encoded = kivu_package::encode_profile(report);
  ASSERT_FALSE(encoded.has_value());
  EXPECT_EQ(encoded.error(), PackageError(Utf8Error{0, 1}));
}

TEST(ProfileEncode, RefusesAStepKindOutsideTheEnumeration) {
  ProfileReport report = kivu_package::testing::sample_report();
  report.tiles[1].samples[0].step.kind = static_cast<kivu_package::ProfileStepKind>(7);
  const auto encoded = kivu_package::encode_profile(report);
  ASSERT_FALSE(encoded.has_value());
  EXPECT_TRUE(encoded.error().is<PackageError::Invalid>());
}

TEST(ProfileWriteStream, AStreamThatRefusesTheBytesIsAnIoError) {
  std::ostringstream bad;
  bad.setstate(std::ios::badbit);
  const auto written = kivu_package::write_profile(kivu_package::testing::sample_report(), bad);
  ASSERT_FALSE(written.has_value());
  EXPECT_TRUE(written.error().is<PackageError::Io>());
}

TEST(ProfileWriteStream, AStreamThatThrowsIsAnIoErrorNotAnException) {
  std::ofstream closed;  // no file: every write fails
  closed.exceptions(std::ios::badbit | std::ios::failbit);
  const auto written = kivu_package::write_profile(kivu_package::testing::sample_report(), closed);
  ASSERT_FALSE(written.has_value());
  EXPECT_TRUE(written.error().is<PackageError::Io>()) << debug_string(written.error());
}

}  // namespace
