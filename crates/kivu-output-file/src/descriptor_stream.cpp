// The stream over a file descriptor (see descriptor_stream.hpp).
#include "descriptor_stream.hpp"

#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <exception>
#include <ios>
#include <new>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "kivu_base/descriptor.hpp"

namespace kivu_output_file::detail {

namespace {

// A stream buffer writing to a descriptor that keeps the first operating-
// system error, so that the reason outlives the stream's bare failure bits.
// Large writes bypass the buffer.
class DescriptorBuffer final : public std::streambuf {
public:
  explicit DescriptorBuffer(int fd) : fd_(fd), buffer_(buffer_size) { reset(); }

  // The errno of the first failed write, or 0.
  [[nodiscard]] int error() const noexcept { return error_; }

protected:
  int_type overflow(int_type ch) override {
    if (!drain()) return traits_type::eof();
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
    return ch;
  }

  std::streamsize xsputn(const char* data, std::streamsize count) override {
    if (count <= epptr() - pptr()) return put(data, count);
    if (!drain()) return 0;
    if (count < static_cast<std::streamsize>(buffer_size)) return put(data, count);
    return send(data, static_cast<std::size_t>(count)) ? count : 0;
  }

  int sync() override { return drain() ? 0 : -1; }

private:
  static constexpr std::size_t buffer_size = std::size_t{1} << 16;

  void reset() noexcept { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

  // Copies into the buffer, which has room for `count` bytes.
  std::streamsize put(const char* data, std::streamsize count) noexcept {
    std::memcpy(pptr(), data, static_cast<std::size_t>(count));
    pbump(static_cast<int>(count));
    return count;
  }

  bool drain() noexcept {
    const bool sent = send(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    reset();
    return sent;
  }

  bool send(const char* data, std::size_t size) noexcept {
    if (error_ != 0) return false;
    if (auto sent = kivu_base::write_all(fd_, data, size); !sent) {
      error_ = sent.error();
      return false;
    }
    return true;
  }

  int fd_;
  std::vector<char> buffer_;
  int error_ = 0;
};

}  // namespace

Status run_writer(const OutputWriter& write, std::ostream& stream) {
  try {
    auto written = write(stream);
    if (!written) return std::unexpected(OutputError(std::move(written.error())));
    stream.flush();
    return {};
  } catch (const std::ios_base::failure& failure) {
    return std::unexpected(OutputError(failure.code()));
  } catch (const std::bad_alloc&) {
    return os_failure(ENOMEM);
  } catch (const std::exception& exception) {
    return std::unexpected(OutputError(std::string("writing the output failed: ") + exception.what()));
  } catch (...) {
    return std::unexpected(OutputError(std::string("writing the output failed with an unknown exception")));
  }
}

Status stream_into(int fd, const OutputWriter& write) {
  DescriptorBuffer buffer(fd);
  std::ostream stream(&buffer);
  Status written = run_writer(write, stream);
  if (buffer.error() != 0) return os_failure(buffer.error());
  if (!written) return written;
  if (!stream) return std::unexpected(OutputError(std::make_error_code(std::io_errc::stream)));
  return {};
}

SigpipeHeld::SigpipeHeld() noexcept {
  sigemptyset(&pipe_);
  sigaddset(&pipe_, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  sigset_t pending;
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeHeld::~SigpipeHeld() {
  sigset_t pending;
  sigpending(&pending);
  if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
    const timespec now{};
    static_cast<void>(sigtimedwait(&pipe_, nullptr, &now));
  }
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace kivu_output_file::detail
