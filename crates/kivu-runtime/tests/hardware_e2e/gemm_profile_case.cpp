// The blocked GEMM with a per-tile cycle profile: the one case that judges
// its runner by the file it leaves behind, not only by its exit status.
//
// The runner writes the profile to corvane-kit-gemm-profile-<suite pid>.capnp
// in a folder of the case's own, <temporary directory>/kivu-gemm-profile.XXXXXX,
// made afresh by mkdtemp (mode 0700) before the board is taken. The file's
// name is predictable, so in /tmp itself another user could put a FIFO there
// first and hold the runner, and with it the board, at its open, or read the
// profile through it; no other user can reach into the private folder. After
// a successful run the case decodes the profile, checks that it covers all
// 1472 tiles with a positive clock, a sample on every tile and each of the
// four step kinds somewhere, and removes it with its folder. A profile that
// fails a check is left on disk, in its folder, to look at.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "cases.hpp"
#include "frame.hpp"
#include "notice.hpp"
#include <kivu_package.hpp>

namespace kivu_e2e {

namespace {

using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;

constexpr std::size_t expected_tile_count = 1472;

// $TMPDIR when set (even empty), else /tmp, followed by "/" unless it is
// empty or already ends in "/": what the name of a file in it is joined to.
std::string temporary_directory_prefix() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string prefix = tmpdir != nullptr ? tmpdir : "/tmp";
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  return prefix;
}

std::string profile_name() {
  return "corvane-kit-gemm-profile-" + std::to_string(static_cast<std::uint32_t>(::getpid())) + ".capnp";
}

// The case's private folder for the profile, made by mkdtemp (0700). It is
// removed at the end of the case when it is empty: a profile left for a look
// keeps it, and the suite says where.
class ProfileFolder {
public:
  // Fails the case with one line when the folder cannot be made.
  ProfileFolder() : path_(temporary_directory_prefix() + "kivu-gemm-profile.XXXXXX") {
    const std::string template_path = path_;
    if (::mkdtemp(path_.data()) == nullptr) {
      fail("cannot make a private folder for the GEMM profile from \"" + template_path + "\": " + std::strerror(errno));
    }
  }
  ProfileFolder(const ProfileFolder&) = delete;
  ProfileFolder& operator=(const ProfileFolder&) = delete;
  ~ProfileFolder() {
    if (::rmdir(path_.c_str()) == 0 || errno != ENOTEMPTY) return;
    try {
      notice("blocked GEMM profile kept in " + path_);
    } catch (...) {
      // Out of memory while unwinding: the folder stays all the same.
    }
  }

  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

bool any_sample_of_kind(const ProfileReport& profile, ProfileStepKind kind) {
  for (const auto& tile : profile.tiles) {
    for (const auto& sample : tile.samples) {
      if (sample.step.kind == kind) return true;
    }
  }
  return false;
}

// The assertion text of checks 4, 5 and 7, for the kind named `kind`.
std::string any_kind_assertion(std::string_view kind) {
  std::string text =
      "assertion failed: profile.tiles.iter().any(|tile|\n"
      "        {\n"
      "            tile.samples.iter().any(|sample|\n"
      "                    sample.step.kind == kivu_package::ProfileStepKind::";
  text += kind;
  text +=
      ")\n"
      "        })";
  return text;
}

constexpr const char* any_synchronization_assertion =
    "assertion failed: profile.tiles.iter().any(|tile|\n"
    "        {\n"
    "            tile.samples.iter().any(|sample|\n"
    "                    sample.step.kind ==\n"
    "                        kivu_package::ProfileStepKind::Synchronization)\n"
    "        })";

}  // namespace

void blocked_gemm_with_cycle_profile_works() {
  // Made before the board is taken: a folder that cannot be made fails the
  // case without holding the board.
  const ProfileFolder folder;
  const std::string path = folder.file(profile_name());
  const auto _device = device();

  Command command(runner_path("kivu-gemm-e2e"));
  command.env("KIVU_GEMM_DIMENSION", "128");
  command.env("KIVU_PROFILE_OUTPUT", path);
  command.env("KIVU_GEMM_SRAM_CHECK_BLOCK", "1,1");
  configure_host_write_jitter(command);
  require_success("blocked GEMM with per-tile cycle profile",
                  run(command, "launch profiled blocked GEMM hardware test runner"));

  // The stream library leaves the open(2) error in errno.
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) fail_unwrap(os_error_debug(errno != 0 ? errno : EIO));
  auto decoded = ProfileReport::read(std::move(file));
  if (!decoded) fail_unwrap(kivu_package::debug_string(decoded.error()));
  const ProfileReport& profile = *decoded;

  if (profile.tiles.size() != expected_tile_count) {
    fail("assertion `left == right` failed\n  left: " + std::to_string(profile.tiles.size()) +
         "\n right: " + std::to_string(expected_tile_count));
  }
  if (!(profile.clock_hz > 0)) fail("assertion failed: profile.clock_hz > 0");
  for (const auto& tile : profile.tiles) {
    if (tile.samples.empty()) fail("assertion failed: profile.tiles.iter().all(|tile| !tile.samples.is_empty())");
  }
  if (!any_sample_of_kind(profile, ProfileStepKind::Exchange)) fail(any_kind_assertion("Exchange"));
  if (!any_sample_of_kind(profile, ProfileStepKind::Compute)) fail(any_kind_assertion("Compute"));
  if (!any_sample_of_kind(profile, ProfileStepKind::Synchronization)) fail(any_synchronization_assertion);
  if (!any_sample_of_kind(profile, ProfileStepKind::Idle)) fail(any_kind_assertion("Idle"));

  if (::unlink(path.c_str()) != 0) fail_unwrap(os_error_debug(errno));
}

}  // namespace kivu_e2e
