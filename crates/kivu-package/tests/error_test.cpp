// PackageError: its debug form for every variant and its conversions.
#include <sstream>

#include <gtest/gtest.h>

#include "kivu_package.hpp"

namespace {

using kivu_package::CapnpError;
using kivu_package::debug_string;
using kivu_package::NotInSchema;
using kivu_package::PackageError;
using kivu_package::Utf8Error;
using namespace std::string_literals;

TEST(PackageErrorDebugForm, NamesEachVariantWithItsPayload) {
  EXPECT_EQ(debug_string(PackageError::Invalid{"unsupported profile schema version 4"}),
            R"(Invalid("unsupported profile schema version 4"))");
  EXPECT_EQ(debug_string(NotInSchema{4}), "SchemaEnum(NotInSchema(4))");
  EXPECT_EQ(debug_string(Utf8Error{3, 1}), "Utf8(Utf8Error { valid_up_to: 3, error_len: Some(1) })");
  EXPECT_EQ(debug_string(Utf8Error{0, std::nullopt}), "Utf8(Utf8Error { valid_up_to: 0, error_len: None })");
  EXPECT_EQ(debug_string(CapnpError{CapnpError::Kind::Failed, "Premature EOF"}), R"(Capnp(Failed: "Premature EOF"))");
  EXPECT_EQ(debug_string(CapnpError{CapnpError::Kind::Disconnected, "gone"}), R"(Capnp(Disconnected: "gone"))");
  EXPECT_EQ(debug_string(std::error_code(2, std::system_category())),
            R"(Io(Os { code: 2, message: "No such file or directory" }))");
}

TEST(PackageErrorDebugForm, NamesTheCategoryOfNonSystemIoErrors) {
  EXPECT_EQ(debug_string(std::make_error_code(std::io_errc::stream)),
            R"(Io(Custom { category: "iostream", code: 1, message: "iostream error" }))");
}

TEST(PackageErrorDebugForm, EscapesQuotedTexts) {
  EXPECT_EQ(debug_string(PackageError::Invalid{"a \"b\"\\c\nd\te\r\0f\x01\x1f\x7f"s}),
            R"(Invalid("a \"b\"\\c\nd\te\r\0f\u{1}\u{1f}\u{7f}"))");
  EXPECT_EQ(debug_string(PackageError::Invalid{"värde ✓"}), R"(Invalid("värde ✓"))");
}

TEST(PackageErrorDebugForm, OperatorMatchesDebugString) {
  const PackageError error = NotInSchema{9};
  std::ostringstream out;
  out << error;
  EXPECT_EQ(out.str(), debug_string(error));
}

TEST(PackageError, ConvertsImplicitlyIntoTheMatchingVariant) {
  EXPECT_TRUE(PackageError(CapnpError{}).is<PackageError::Capnp>());
  EXPECT_TRUE(PackageError(std::error_code()).is<PackageError::Io>());
  EXPECT_TRUE(PackageError(Utf8Error{}).is<PackageError::Utf8>());
  EXPECT_TRUE(PackageError(NotInSchema{}).is<PackageError::SchemaEnum>());
  EXPECT_EQ(PackageError(NotInSchema{4}).as<PackageError::SchemaEnum>().error.value, 4);
  EXPECT_EQ(PackageError(NotInSchema{4}).variant().index(), 3u);
}

TEST(ProfileStepKindForm, PrintsTheKindName) {
  std::ostringstream out;
  out << kivu_package::ProfileStepKind::Synchronization << ' ' << kivu_package::ProfileStepKind::Idle;
  EXPECT_EQ(out.str(), "Synchronization Idle");
}

}  // namespace
