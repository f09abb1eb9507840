#pragma once
// What the hosts print and check about cameras.
#include <string>

#include "platform/camera/camera.h"

namespace kalto::cli {

// Prints the colour cameras, then the file: form; false when the platform has no cameras.
bool PrintCameras(camera::CameraSystem* cameras);
// Whether `id` names a camera this machine has now (a file: id is added first).
bool CameraExists(camera::CameraSystem& cameras, const std::wstring& id);

}  // namespace kalto::cli
