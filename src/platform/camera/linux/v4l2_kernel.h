#pragma once
// The system calls the V4L2 camera makes, behind one seam, so that tests can stand a scripted
// webcam in for the kernel. Every call keeps the system's contract: -1 (MAP_FAILED for Mmap) and
// errno on failure.
#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "common/result.h"

namespace kalto::camera::linuxcam {

class V4l2Kernel {
 public:
  virtual ~V4l2Kernel() = default;
  virtual int Open(const char* path, int flags) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual void* Mmap(size_t length, int prot, int flags, int fd, off_t offset) = 0;
  virtual int Munmap(void* address, size_t length) = 0;
  virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
  virtual int Close(int fd) = 0;
  // The video device nodes present now ("/dev/video0", ...), in no particular order.
  virtual std::vector<std::string> ListDevices() = 0;
};

// The real system calls (ioctl retried on EINTR); one shared instance.
std::shared_ptr<V4l2Kernel> RealV4l2Kernel();

// What a failed device call throws: the camera is gone, taken by another program, not ours to
// open, or failed otherwise.
inline constexpr HRESULT MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED = MakeHr(0xC00DABE0u);
inline constexpr HRESULT MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED = MakeHr(0xC00DABE1u);
inline constexpr HRESULT MF_E_INVALIDMEDIATYPE = MakeHr(0xC00D36B4u);
HRESULT HrFromErrno(int error);
// "No such device" and the like, thread-safe.
std::string ErrnoText(int error);
// errno values that mean the device has left (unplugged, driver unbound).
bool IsDeviceGone(int error);

}  // namespace kalto::camera::linuxcam
