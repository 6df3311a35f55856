// The windows' design fonts and the faces that stand in for them where a
// machine lacks them (MS Sans Serif and MS Serif are bitmap faces on Windows
// and absent on Linux): a metric-compatible face first, then the usual ones.
// The Qt windows install these as font substitutions, the Win32 windows pick
// the first face installed.
#pragma once

#include <array>
#include <string_view>

namespace tarvel::forms {

struct FontSubstitution {
  std::string_view family;
  std::array<std::string_view, 3> faces;  // in order of preference; empty: none
};

inline constexpr FontSubstitution kFontSubstitutions[] = {
    {"MS Sans Serif", {"Liberation Sans", "Arial", "DejaVu Sans"}},
    {"MS Serif", {"Liberation Serif", "Times New Roman", "DejaVu Serif"}},
    {"Arial", {"Liberation Sans", "DejaVu Sans", ""}},
    {"Times New Roman", {"Liberation Serif", "DejaVu Serif", ""}},
    {"Courier", {"Liberation Mono", "Courier New", "DejaVu Sans Mono"}},
};

// The windows' default font, the one their twip geometry was laid out for.
inline constexpr std::string_view kDefaultFontFamily = "MS Sans Serif";
inline constexpr double kDefaultFontPoints = 8.25;

}  // namespace tarvel::forms
