// picferry-thumbnailer: turns thumbnail sources read from a device into
// upright JPEG thumbnails, one message at a time on standard input and
// output (thumbnail_wire.h). The decoding libraries run only here, under
// limits of time and memory, so that bytes which crash or hang them end this
// process and not picferry, which starts another.

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "thumbnails/make_thumbnail.h"
#include "thumbnails/thumbnail_wire.h"

namespace {

// CPU seconds one thumbnail may take.
constexpr rlim_t kCpuSecondsEach = 10;
// Address space; not set under the sanitizers, whose shadow memory is larger.
constexpr rlim_t kAddressSpace = rlim_t{1} << 30;

bool readAll(void* data, std::size_t size) {
  auto* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(0, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(1, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Lets this thumbnail use kCpuSecondsEach more than those before it.
void allowCpuForOne() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const rlimit limit{static_cast<rlim_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         kCpuSecondsEach,
                     RLIM_INFINITY};
  setrlimit(RLIMIT_CPU, &limit);
}

}  // namespace

int main() {
  using namespace picferry;
  // Ends with picferry, even in the middle of a thumbnail; between thumbnails
  // the end of its standard input ends it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  const rlimit memory{kAddressSpace, kAddressSpace};
  setrlimit(RLIMIT_AS, &memory);
#endif
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  for (;;) {
    std::string header(4, '\0');
    if (!readAll(header.data(), header.size())) return 0;
    const auto length = messageLength(header);
    if (!length) return 1;
    std::string body(*length, '\0');
    if (!readAll(body.data(), body.size())) return 1;
    allowCpuForOne();
    const auto source = decodeSource(body);
    const auto reply = encodeThumbnail(source ? makeThumbnail(*source) : std::nullopt);
    if (!writeAll(messageHeader(reply.size()) + reply)) return 1;
  }
}
