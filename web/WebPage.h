// The web page itself (HTML, CSS and a little JavaScript, all inside the
// program: nothing is loaded from elsewhere) and the devices it offers.
#pragma once

#include <string>
#include <string_view>

namespace tarvel {

std::string_view WebPageHtml();

// The devices as the page offers them, a JSON array: each one's name, its
// channels' names, its slider's range (the gain-control window's) and the
// codes it takes, and whether it reads back.
std::string WebDevicesJson();

}  // namespace tarvel
