// ANSI text to UTF-16. The module's ANSI code page on the Windows hosts it
// ships for is Windows-1252: Latin-1, except that 0x80-0x9F hold the euro
// sign, typographic quotes and a few letters instead of control codes.

#include "platform/platform.h"

namespace lf::platform {

namespace {

// 0x80-0x9F. The five bytes Windows-1252 leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) map to themselves, as MultiByteToWideChar maps them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

char16_t AnsiToCodeUnit(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kWindows1252High[byte - 0x80];
  return static_cast<char16_t>(byte);
}

}  // namespace

// A source longer than the buffer is cut and still terminated: the identity
// names go into fixed buffers and a cut name is better than none.
uint32_t AnsiToUtf16(const char* source, char16_t* dest, uint32_t capacity) {
  if (source == nullptr || dest == nullptr || capacity == 0) return 0;
  uint32_t written = 0;
  for (; written + 1 < capacity && source[written] != '\0'; ++written) {
    dest[written] = AnsiToCodeUnit(static_cast<unsigned char>(source[written]));
  }
  dest[written] = u'\0';
  return written + 1;
}

}  // namespace lf::platform
