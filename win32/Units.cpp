#include "win32/Units.h"

#include <cmath>
#include <map>
#include <string_view>

#include "forms/Fonts.h"

namespace tarvel::win32 {

int Pixels(int twips, UINT dpi) {
  return static_cast<int>(std::lround(static_cast<double>(twips) * static_cast<double>(dpi) / 1440.0));
}

RECT PixelRect(const TwipRect& r, UINT dpi) {
  // Both edges rounded, so neighbouring controls meet where their twips do.
  const int left = Pixels(r.left, dpi), top = Pixels(r.top, dpi);
  return RECT{left, top, Pixels(r.left + r.width, dpi), Pixels(r.top + r.height, dpi)};
}

namespace {

int CALLBACK NoteOutline(const LOGFONTW*, const TEXTMETRICW*, DWORD type, LPARAM found) {
  // MS Sans Serif and MS Serif are bitmap faces on Windows: they do not
  // scale to the windows' sizes at every DPI, so they count as missing.
  if ((type & RASTER_FONTTYPE) == 0) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
  }
  return 1;
}

bool OutlineFaceInstalled(const std::wstring& face) {
  LOGFONTW query{};
  query.lfCharSet = DEFAULT_CHARSET;
  if (face.size() >= LF_FACESIZE) return false;
  face.copy(query.lfFaceName, face.size());
  bool found = false;
  HDC screen = ::GetDC(nullptr);
  ::EnumFontFamiliesExW(screen, &query, &NoteOutline, reinterpret_cast<LPARAM>(&found), 0);
  ::ReleaseDC(nullptr, screen);
  return found;
}

}  // namespace

std::wstring InstalledFace(std::string_view family) {
  static std::map<std::string, std::wstring, std::less<>> known;
  const std::string name(family);
  if (auto it = known.find(name); it != known.end()) return it->second;
  std::wstring face = Wide(name);
  if (!OutlineFaceInstalled(face)) {
    for (const forms::FontSubstitution& s : forms::kFontSubstitutions) {
      if (s.family != name) continue;
      for (std::string_view candidate : s.faces) {
        if (!candidate.empty() && OutlineFaceInstalled(Wide(std::string(candidate)))) {
          face = Wide(std::string(candidate));
          break;
        }
      }
    }
  }
  return known[name] = face;
}

HFONT CreateDesignFont(const DesignFont& font, UINT dpi) {
  const bool standard = font.family == nullptr;
  const double points = standard ? forms::kDefaultFontPoints : font.points;
  LOGFONTW lf{};
  lf.lfHeight = -static_cast<LONG>(std::lround(points * static_cast<double>(dpi) / 72.0));
  lf.lfWeight = font.bold ? FW_BOLD : FW_NORMAL;
  lf.lfItalic = font.italic ? TRUE : FALSE;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfQuality = CLEARTYPE_QUALITY;
  const std::wstring face =
      InstalledFace(standard ? forms::kDefaultFontFamily : std::string_view(font.family));
  face.copy(lf.lfFaceName, std::min<std::size_t>(face.size(), LF_FACESIZE - 1));
  return ::CreateFontIndirectW(&lf);
}

}  // namespace tarvel::win32
