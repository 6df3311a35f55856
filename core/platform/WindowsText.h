// Text between the program's UTF-8 and the UTF-16 of Windows' own calls,
// for the Windows build alone: the platform seam and the windows share it.
#pragma once

#include <string>

namespace tarvel::platform {

std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace tarvel::platform
