// The way into the engineering pages: Ctrl+Shift+E (or --engineering at
// start) shows the page control below the compact panel. The default stays
// the compact updater, so an end user never meets the pages by accident.
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTabWidget>
#include <algorithm>

#include "ui/GenBinPage.h"
#include "ui/I2cPage.h"
#include "ui/InformationPage.h"
#include "ui/IspPage.h"
#include "ui/MainWindow.h"
#include "ui/ParameterPage.h"
#include "ui/RegisterPage.h"

namespace korvalen {
namespace {

constexpr int kPagesHeight = 480;
// Room kept for the title bar and borders of a window not shown yet, whose
// frame the system has not told.
constexpr int kFrameAllowance = 32;
// Below this the pages would be a slit: the window then leaves the screen's
// bottom rather than become unusable.
constexpr int kMinPagesHeight = 160;

}  // namespace

void MainWindow::BuildEngineeringView() {
  EngineeringShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E), this);
  EngineeringShortcut->setObjectName("EngineeringShortcut");
  EngineeringShortcut->setContext(Qt::WindowShortcut);
  connect(EngineeringShortcut, &QShortcut::activated, this, &MainWindow::ToggleEngineeringView);
}

int MainWindow::RoomForPages() const {
  const QScreen* shown_on = screen();
  if (shown_on == nullptr) return kPagesHeight;
  const int frame = std::max(frameGeometry().height() - height(), kFrameAllowance);
  const int room = shown_on->availableGeometry().height() - frame - compact_size_.height();
  return std::clamp(room, kMinPagesHeight, kPagesHeight);
}

bool MainWindow::PageBuilt(QWidget* tab) const {
  if (tab == TabSheet1) return RegisterPg != nullptr;
  if (tab == tabI2CAccess) return I2cPg != nullptr;
  if (tab == tabParameter) return ParameterPg != nullptr;
  if (tab == tabInformation) return InformationPg != nullptr;
  if (tab == tabGenBinFile) return GenBinPg != nullptr;
  return tab == tabISP && IspPg != nullptr;
}

void MainWindow::HideEngineeringTabs() {
  // A hidden current tab hands the page on to the next visible one, and
  // choosing the I2C Access page sets the I2C controller up on the device:
  // the page that stays is made current first, so no other page is chosen
  // on the way.
  MainPageControl->setCurrentWidget(tabISP);
  for (QWidget* page : {TabSheet1, tabI2CAccess, tabParameter, tabInformation, tabGenBinFile}) {
    MainPageControl->setTabVisible(MainPageControl->indexOf(page), false);
  }
  MainPageControl->hide();
  PagesScroll->hide();
}

void MainWindow::SetEngineeringView(bool on) {
  if (on == engineering_view_) return;
  engineering_view_ = on;
  if (!on) {
    HideEngineeringTabs();
    IspPg->SetIspSequenceControlsVisible(false);
    setFixedSize(compact_size_);
    return;
  }
  compact_size_ = size();
  for (int i = 0; i < MainPageControl->count(); ++i) {
    MainPageControl->setTabVisible(i, true);
    MainPageControl->setTabEnabled(i, PageBuilt(MainPageControl->widget(i)));
  }
  // The view opens on its first page, as at start-up.
  for (int i = 0; i < MainPageControl->count(); ++i) {
    if (MainPageControl->isTabEnabled(i)) {
      MainPageControl->setCurrentIndex(i);
      break;
    }
  }
  // The single flash operations and the Auto choices belong to this view.
  IspPg->SetIspSequenceControlsVisible(true);
  const int room = RoomForPages();
  const int width = compact_size_.width();
  // A page control taller than its room scrolls, and the vertical bar
  // takes its width from the pages rather than add a horizontal bar.
  const int bar = room < kPagesHeight ? PagesScroll->verticalScrollBar()->sizeHint().width() : 0;
  MainPageControl->resize(width - bar, kPagesHeight);
  MainPageControl->show();
  PagesScroll->setGeometry(0, compact_size_.height(), width, room);
  PagesScroll->verticalScrollBar()->setValue(0);
  PagesScroll->show();
  setFixedSize(width, compact_size_.height() + room);
}

}  // namespace korvalen
