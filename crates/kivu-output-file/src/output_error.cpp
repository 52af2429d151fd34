// The reasons of failed writes (see kivu_output_file/output_error.hpp).
#include "kivu_output_file/output_error.hpp"

namespace kivu_output_file {

namespace {

class OutputFileCategory final : public std::error_category {
public:
  [[nodiscard]] const char* name() const noexcept override { return "output file"; }
  [[nodiscard]] std::string message(int code) const override {
    switch (static_cast<OutputRefusal>(code)) {
      case OutputRefusal::BlockDevice: return "refusing to write to a block device";
      case OutputRefusal::ProtectedLink:
        return "refusing to follow a symbolic link that another user owns in a sticky world-writable directory";
      case OutputRefusal::ProtectedLinkToSpecialFile:
        return "refusing to replace a symbolic link to a file that is not regular, or to follow it: another user "
               "owns it in a sticky world-writable directory";
      case OutputRefusal::KernelFileSystem: return "refusing to write into a kernel file system such as /proc or /sys";
      case OutputRefusal::ProtectedFile:
        return "refusing to write into a FIFO or regular file that another user owns in a sticky world-writable "
               "directory";
    }
    return "refusing to write there";
  }
};

}  // namespace

std::error_code output_refused(OutputRefusal reason) noexcept {
  static const OutputFileCategory category;
  return {static_cast<int>(reason), category};
}

std::error_code block_device_refused() noexcept { return output_refused(OutputRefusal::BlockDevice); }

std::string output_failure_reason(const OutputError& error) {
  if (const auto code = error.code()) return code->message();
  return *error.writer_message();
}

}  // namespace kivu_output_file
