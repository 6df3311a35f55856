// The windows' design units on Windows: geometry in twips (1/1440 inch) at a
// monitor's DPI, and fonts by family and points, with the substitutions the
// Linux build makes for faces a machine lacks.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "core/platform/WindowsText.h"

namespace tarvel::win32 {

// Left, top, width, height in twips.
struct TwipRect {
  int left = 0, top = 0, width = 0, height = 0;
};

// A design font; no family is the windows' default (forms/Fonts.h).
struct DesignFont {
  const char* family = nullptr;
  double points = 0;
  bool bold = false;
  bool italic = false;
};

// Twips to pixels at `dpi`, rounded to the nearest pixel.
int Pixels(int twips, UINT dpi);
RECT PixelRect(const TwipRect& r, UINT dpi);

// The face installed for a design family: the family itself when it is an
// outline face, else the first installed of its substitutes (forms/Fonts.h,
// as the Linux build's), else the family (the system then picks).
std::wstring InstalledFace(std::string_view family);

// A font for `font` at `dpi`; the caller deletes it.
HFONT CreateDesignFont(const DesignFont& font, UINT dpi);

// UTF-8 to UTF-16 and back: the platform seam's.
using platform::Narrow;
using platform::Wide;

}  // namespace tarvel::win32
