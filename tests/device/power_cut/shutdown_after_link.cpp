// Preloaded into picferry: the n-th successful linkat (the moment an unnamed copy gets its
// name) is followed at once by an XFS shutdown without a log flush, as a failing drive or a
// yanked USB disk does (xfs_io -x -c shutdown). So a test stops exactly between naming a file
// and counting it. n comes from PICFERRY_SHUTDOWN_AT_LINK.
#include <dlfcn.h>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include <sys/ioctl.h>

// From xfs_fs.h (xfslibs-dev): XFS_IOC_GOINGDOWN and XFS_FSOP_GOING_FLAGS_NOLOGFLUSH.
namespace {
const unsigned long kShutdown = _IOR('X', 125, std::uint32_t);
const std::uint32_t kWithoutLogFlush = 2;
std::atomic<int> linksMade{0};
}  // namespace

extern "C" int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                      int flags) {
  using Linkat = int (*)(int, const char*, int, const char*, int);
  static const auto realLinkat = reinterpret_cast<Linkat>(dlsym(RTLD_NEXT, "linkat"));
  const int result = realLinkat(olddirfd, oldpath, newdirfd, newpath, flags);
  const char* at = std::getenv("PICFERRY_SHUTDOWN_AT_LINK");
  if (result == 0 && at && ++linksMade == std::atoi(at)) {
    std::uint32_t how = kWithoutLogFlush;
    ioctl(newdirfd, kShutdown, &how);
  }
  return result;
}
