// A small PNG encoder (8-bit RGBA, no interlacing) on zlib.
#pragma once

#include <optional>
#include <string>

#include "Platform/ScreenCapture.hpp"

namespace talkweft::platform {

// The PNG file bytes of `image`. Absent when the image is empty, its pixel buffer does not match
// its size, or compression fails. Thread-safe.
std::optional<std::string> encodePNG(const Image& image);

}  // namespace talkweft::platform
