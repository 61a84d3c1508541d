// Windows: the screen device context's logical pixels per inch, the figure
// the system's display settings (100 %, 125 %, ...) set.
#include "ui/ScreenDpi.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace korvalen {

int HorizontalDotsPerInch() {
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return 96;
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

}  // namespace korvalen
