// The paper path: where each model's sensor, scan line, feeder and exit
// sit, how a motion carries the sheets, and what the sheets look like.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/chip.h"

#if defined(LF_V2270_SIM_PNG)
#include <png.h>
#endif

namespace lf::sim {

PaperGeometry GeometryOf(Model model) {
  // The Lumaframe feeds from a deep tray: its sheet waits 1.85 inches past
  // the paper sensor, just short of the scan line, so that a page starts at
  // the sheet's edge after the short lead-in the library programs, and a
  // sheet returned to the sensor still reaches the scan line in a
  // calibration pass. The other models have the scan line right behind the
  // sensor and the sheet waits between them.
  if (model == Model::kLumaframe) return {1.95, 1.85, 1.97, -1.0, 112.0 / 1200};
  return {0.25, 0.125, 0.30, -1.0, 112.0 / 1200};
}

namespace chip {

namespace {

int64_t ToDots(double inches) { return std::llround(inches * kDotsPerInch); }

constexpr uint8_t kBacking = VirtualScanner::kBackingLevel;
constexpr int64_t kLetterWidthElements = 8 * kElementsPerInch + kElementsPerInch / 2;
constexpr int64_t kLetterLengthDots = 11 * kDotsPerInch;

}  // namespace

PathDots PathDotsOf(Model model) {
  const PaperGeometry g = GeometryOf(model);
  return {ToDots(g.scanLine), ToDots(g.rest), ToDots(g.exit), ToDots(g.backStop),
          std::llround(g.leftEdge * kElementsPerInch)};
}

// ---------------------------------------------------------------------------
// Motion of the sheets
// ---------------------------------------------------------------------------

SheetState Advance(const SheetState& from, const PathDots& path, int64_t length, bool forward,
                   uint64_t dots) {
  SheetState to = from;
  if (!from.inPath || dots == 0) return to;
  const int64_t travel = static_cast<int64_t>(std::min<uint64_t>(dots, uint64_t{1} << 60));
  if (!forward) {
    to.lead = std::max(path.backStop, from.lead - travel);
    return to;
  }
  // Travel until the sheet in the path leaves, then per following sheet.
  const int64_t firstOut = std::max<int64_t>(0, path.exit + length - from.lead);
  if (travel < firstOut) {
    to.lead = from.lead + travel;
    return to;
  }
  const int64_t perSheet = std::max<int64_t>(1, path.exit + length - path.rest);
  const int64_t beyond = travel - firstOut;
  const uint64_t out = 1 + static_cast<uint64_t>(beyond / perSheet);
  if (out > from.feeder) {
    to.inPath = false;
    to.lead = 0;
    to.ejected = from.ejected + from.feeder + 1;
    to.feeder = 0;
    return to;
  }
  to.feeder = from.feeder - static_cast<uint32_t>(out);
  to.ejected = from.ejected + static_cast<uint32_t>(out);
  to.lead = path.rest + beyond % perSheet;
  return to;
}

bool CoversSensor(const SheetState& state, int64_t length) {
  return state.inPath && state.lead > 0 && state.lead - length <= 0;
}

// ---------------------------------------------------------------------------
// Sheets
// ---------------------------------------------------------------------------

bool Sheet::Parse(const char* spec) {
  if (spec == nullptr) return false;
  if (std::strcmp(spec, "white") == 0) {
    kind_ = Kind::kWhite;
    level_ = 255;
    return true;
  }
  if (std::strcmp(spec, "chart") == 0) {
    kind_ = Kind::kChart;
    return true;
  }
  if (std::strcmp(spec, "none") == 0) {
    kind_ = Kind::kNone;
    return true;
  }
  if (std::strncmp(spec, "gray:", 5) == 0) {
    const char* digits = spec + 5;
    char* end = nullptr;
    const long value = std::strtol(digits, &end, 10);
    if (end == digits || *end != '\0' || *digits < '0' || *digits > '9' || value > 255) {
      return false;
    }
    kind_ = Kind::kGray;
    level_ = static_cast<uint8_t>(value);
    return true;
  }
  SheetImage image;
  return LoadPngSheet(spec, &image) && SetImage(std::move(image));
}

bool Sheet::SetImage(SheetImage image) {
  if (image.width == 0 || image.height == 0 || !(image.dpi > 0) ||
      image.rgb.size() != uint64_t{3} * image.width * image.height) {
    return false;
  }
  image_ = std::move(image);
  kind_ = Kind::kImage;
  return true;
}

int64_t Sheet::LengthDots() const {
  switch (kind_) {
    case Kind::kNone:
      return 0;
    case Kind::kImage:
      return std::llround(image_.height * kDotsPerInch / image_.dpi);
    default:
      return kLetterLengthDots;
  }
}

int64_t Sheet::WidthElements() const {
  switch (kind_) {
    case Kind::kNone:
      return 0;
    case Kind::kImage:
      return std::llround(image_.width * kElementsPerInch / image_.dpi);
    default:
      return kLetterWidthElements;
  }
}

uint8_t Sheet::Sample(int channel, int64_t xElement, int64_t yDots) const {
  if (xElement < 0 || yDots < 0 || xElement >= WidthElements() || yDots >= LengthDots()) {
    return kBacking;
  }
  switch (kind_) {
    case Kind::kChart:
      return ChartSample(channel, xElement, yDots);
    case Kind::kImage:
      return ImageSample(channel, xElement, yDots);
    case Kind::kNone:
      return kBacking;
    default:
      return level_;
  }
}

// The test chart: one inch of white, then sixteen half-inch bands of eight
// patches across (even bands grey steps 255, 223, ... 31; odd bands white,
// red, green, blue, cyan, magenta, yellow, black), then stripes of 1/8 inch
// alternating black and white to the end.
uint8_t Sheet::ChartSample(int channel, int64_t xElement, int64_t yDots) const {
  const int64_t bandTop = kDotsPerInch;
  const int64_t bandHeight = kDotsPerInch / 2;
  const int64_t bands = 16;
  if (yDots < bandTop) return 255;
  const int64_t band = (yDots - bandTop) / bandHeight;
  if (band >= bands)
    return ((yDots - bandTop - bands * bandHeight) / (kDotsPerInch / 8)) % 2 == 0 ? 0 : 255;
  const int64_t patch = std::min<int64_t>(7, xElement * 8 / kLetterWidthElements);
  if (band % 2 == 0) return static_cast<uint8_t>(255 - 32 * patch);
  // Channel masks of white, red, green, blue, cyan, magenta, yellow, black.
  static const uint8_t kMasks[8] = {7, 1, 2, 4, 6, 5, 3, 0};
  return (kMasks[patch] >> channel) & 1 ? 230 : 25;
}

uint8_t Sheet::ImageSample(int channel, int64_t xElement, int64_t yDots) const {
  const uint64_t column = static_cast<uint64_t>(double(xElement) * image_.dpi / kElementsPerInch);
  const uint64_t row = static_cast<uint64_t>(double(yDots) * image_.dpi / kDotsPerInch);
  const uint64_t x = std::min<uint64_t>(column, image_.width - 1);
  const uint64_t y = std::min<uint64_t>(row, image_.height - 1);
  return image_.rgb[(y * image_.width + x) * 3 + static_cast<uint64_t>(channel)];
}

void Sheet::FillRow(int64_t yDots, const int32_t* xElement, uint32_t count,
                    float* const out[3]) const {
  const bool uniform = kind_ == Kind::kWhite || kind_ == Kind::kGray || kind_ == Kind::kNone ||
                       yDots < 0 || yDots >= LengthDots();
  const int64_t width = WidthElements();
  for (int c = 0; c < 3; ++c) {
    float* row = out[c];
    if (row == nullptr) continue;
    if (uniform) {
      const float onSheet =
          (kind_ == Kind::kNone || yDots < 0 || yDots >= LengthDots()) ? kBacking : level_;
      const float inside = onSheet / 255.0f;
      const float outside = kBacking / 255.0f;
      for (uint32_t i = 0; i < count; ++i) {
        row[i] = (xElement[i] >= 0 && xElement[i] < width) ? inside : outside;
      }
    } else {
      for (uint32_t i = 0; i < count; ++i) row[i] = Sample(c, xElement[i], yDots) / 255.0f;
    }
  }
}

}  // namespace chip

// ---------------------------------------------------------------------------
// PNG sheets
// ---------------------------------------------------------------------------

namespace {

uint32_t LoadBe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// The resolution from the pHYs chunk (pixels per metre), 0 when the file
// has none before its image data or states no unit.
double PngDpi(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return 0;
  uint8_t header[8];
  double dpi = 0;
  if (std::fread(header, 1, 8, file) == 8) {
    uint8_t chunk[8];
    while (std::fread(chunk, 1, 8, file) == 8) {
      const uint32_t length = LoadBe32(chunk);
      if (std::memcmp(chunk + 4, "IDAT", 4) == 0) break;
      if (std::memcmp(chunk + 4, "pHYs", 4) == 0 && length == 9) {
        uint8_t data[9];
        if (std::fread(data, 1, 9, file) == 9 && data[8] == 1) {
          dpi = std::round(LoadBe32(data + 4) * 0.0254);
        }
        break;
      }
      if (std::fseek(file, static_cast<long>(length) + 4, SEEK_CUR) != 0) break;
    }
  }
  std::fclose(file);
  return dpi;
}

}  // namespace

#if defined(LF_V2270_SIM_PNG)

bool LoadPngSheet(const char* path, SheetImage* sheet) {
  if (path == nullptr || sheet == nullptr) return false;
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path) == 0) return false;
  image.format = PNG_FORMAT_RGB;
  SheetImage loaded;
  loaded.width = image.width;
  loaded.height = image.height;
  loaded.rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, loaded.rgb.data(), 0, nullptr) == 0) {
    png_image_free(&image);
    return false;
  }
  const double dpi = PngDpi(path);
  loaded.dpi = dpi > 0 ? dpi : 300.0;
  *sheet = std::move(loaded);
  return true;
}

#else

bool LoadPngSheet(const char* path, SheetImage* sheet) {
  (void)PngDpi;  // kept compiled so the pHYs reader stays checked
  (void)path;
  (void)sheet;
  return false;
}

#endif

}  // namespace lf::sim
