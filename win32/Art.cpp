#include "win32/Art.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tarvel::win32 {

namespace {

// A PAM image (ImageMagick's "PAM:" output): a text header, then RGBA rows.
struct Image {
  int width = 0, height = 0;
  const std::uint8_t* rgba = nullptr;
};

Image LoadLogo() {
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(module, L"LOGO", MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (found == nullptr) return {};
  HGLOBAL loaded = ::LoadResource(module, found);
  const auto* bytes = static_cast<const char*>(::LockResource(loaded));
  const DWORD size = ::SizeofResource(module, found);
  if (bytes == nullptr) return {};
  const std::string_view data(bytes, size);
  const std::size_t end = data.find("ENDHDR\n");
  if (data.substr(0, 3) != "P7\n" || end == std::string_view::npos) return {};
  Image image;
  int depth = 0;
  const std::string header(data.substr(0, end));
  auto field = [&header](const char* name) {
    const std::size_t at = header.find(std::string("\n") + name + " ");
    return at == std::string::npos ? 0 : std::atoi(header.c_str() + at + std::strlen(name) + 2);
  };
  image.width = field("WIDTH");
  image.height = field("HEIGHT");
  depth = field("DEPTH");
  const std::size_t pixels = end + 7;
  if (depth != 4 || image.width <= 0 || image.height <= 0 ||
      data.size() - pixels <
          static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 4U) {
    return {};
  }
  image.rgba = reinterpret_cast<const std::uint8_t*>(bytes + pixels);
  return image;
}

}  // namespace

HBITMAP LogoBitmap(int width, int height) {
  static const Image logo = LoadLogo();
  if (logo.rgba == nullptr || width <= 0 || height <= 0) return nullptr;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr || bits == nullptr) return bitmap;
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  const double back[3] = {static_cast<double>(GetRValue(face)), static_cast<double>(GetGValue(face)),
                          static_cast<double>(GetBValue(face))};
  auto* out = static_cast<std::uint8_t*>(bits);
  // Each pixel averages 4 x 4 samples of the source (a box filter), with the
  // transparent corners showing the window colour.
  constexpr int kSamples = 4;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum[3] = {0, 0, 0};
      for (int sy = 0; sy < kSamples; ++sy) {
        const int v =
            std::min(logo.height - 1, static_cast<int>((y + (sy + 0.5) / kSamples) * logo.height / height));
        for (int sx = 0; sx < kSamples; ++sx) {
          const int u =
              std::min(logo.width - 1, static_cast<int>((x + (sx + 0.5) / kSamples) * logo.width / width));
          const std::uint8_t* p =
              logo.rgba + (static_cast<std::size_t>(v) * static_cast<std::size_t>(logo.width) +
                           static_cast<std::size_t>(u)) *
                              4;
          const double a = p[3] / 255.0;
          for (int c = 0; c < 3; ++c) sum[c] += p[c] * a + back[c] * (1.0 - a);
        }
      }
      std::uint8_t* q =
          out +
          (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4;
      q[2] = static_cast<std::uint8_t>(sum[0] / (kSamples * kSamples) + 0.5);  // BGRA
      q[1] = static_cast<std::uint8_t>(sum[1] / (kSamples * kSamples) + 0.5);
      q[0] = static_cast<std::uint8_t>(sum[2] / (kSamples * kSamples) + 0.5);
      q[3] = 255;
    }
  }
  return bitmap;
}

}  // namespace tarvel::win32
