// The toolkit's view of the screen, on systems without a query of their own.
#include "ui/ScreenDpi.h"

#include <QGuiApplication>
#include <QScreen>

namespace korvalen {

int HorizontalDotsPerInch() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? static_cast<int>(screen->logicalDotsPerInchX()) : 96;
}

}  // namespace korvalen
