#include "camera_cli.h"

#include <cstdio>

#include "common/debug_output.h"

namespace kalto::cli {

bool PrintCameras(camera::CameraSystem* cameras) {
  if (!cameras) return false;
  std::printf("%-30s %s\n", "ID", "NAME");
  for (const auto& group : cameras->FindAllSourceGroups()) {
    for (const auto& info : group.SourceInfos) {
      if (info.SourceKind != camera::MediaFrameSourceKind::Color || !info.DeviceInformation) continue;
      std::printf("%-30s %s\n", WideToUtf8(info.DeviceInformation->Id).c_str(),
                  WideToUtf8(info.DeviceInformation->Name).c_str());
    }
  }
  std::printf("%-30s %s\n", "file:PATH", "a video or picture file, looped (give its path)");
  return true;
}

bool CameraExists(camera::CameraSystem& cameras, const std::wstring& id) {
  if (id.rfind(L"file:", 0) == 0 && !cameras.AddFileCamera(id)) return false;
  for (const auto& group : cameras.FindAllSourceGroups()) {
    for (const auto& info : group.SourceInfos) {
      if (info.DeviceInformation && info.DeviceInformation->Id == id) return true;
    }
  }
  return false;
}

}  // namespace kalto::cli
