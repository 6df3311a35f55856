// The artwork in the executable's resources: the logo, rendered from
// resources/logo.svg at twice its design size when the program is built.
#pragma once

#include <windows.h>

namespace tarvel::win32 {

// The logo scaled to `width` x `height` pixels on the window colour, or
// nullptr when the executable carries no logo. The caller deletes it.
HBITMAP LogoBitmap(int width, int height);

}  // namespace tarvel::win32
