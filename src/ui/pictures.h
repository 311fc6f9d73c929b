// The window's stored pictures, made at build time by tools/make_pictures.
#pragma once

#include "platform/platform.h"

namespace rz {

Picture LampPicture(int index);  // 0 red, 1 yellow, 2 green; 32 x 32
Picture BalloonPicture();        // 356 x 332

}  // namespace rz
