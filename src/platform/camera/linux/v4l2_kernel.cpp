#include "platform/camera/linux/v4l2_kernel.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kalto::camera::linuxcam {
namespace {

class RealKernel final : public V4l2Kernel {
 public:
  int Open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }

  int Ioctl(int fd, unsigned long request, void* arg) override {
    int r;
    do {
      r = ::ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
  }

  void* Mmap(size_t length, int prot, int flags, int fd, off_t offset) override {
    return ::mmap(nullptr, length, prot, flags, fd, offset);
  }
  int Munmap(void* address, size_t length) override { return ::munmap(address, length); }
  int Poll(pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }
  int Close(int fd) override { return ::close(fd); }

  std::vector<std::string> ListDevices() override {
    std::vector<std::string> paths;
    glob_t found{};
    if (::glob("/dev/video*", 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
    }
    ::globfree(&found);
    return paths;
  }
};

}  // namespace

std::shared_ptr<V4l2Kernel> RealV4l2Kernel() {
  static const std::shared_ptr<V4l2Kernel> kernel = std::make_shared<RealKernel>();
  return kernel;
}

bool IsDeviceGone(int error) { return error == ENODEV || error == ENXIO || error == EIO || error == ENOENT; }

HRESULT HrFromErrno(int error) {
  if (IsDeviceGone(error)) return MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED;
  if (error == EBUSY) return MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED;
  if (error == EACCES || error == EPERM) return E_ACCESSDENIED;
  if (error == ENOMEM) return E_OUTOFMEMORY;
  return E_FAIL;
}

std::string ErrnoText(int error) { return std::system_category().message(error); }

}  // namespace kalto::camera::linuxcam
