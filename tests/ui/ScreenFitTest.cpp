// The window on a laptop screen (1366 x 768 less the taskbar) at whatever
// scale QT_SCALE_FACTOR sets: its frame stays on the screen, and every
// control of every page can be scrolled into view, by the scroll bar and by
// the Tab key.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QtTest>

#include "tests/ui/UiTestSupport.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

QRect GlobalRect(const QWidget* widget) {
  return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

// Something a person reads or works with, not a piece of another control
// (a grid's own headers and bars come with the grid).
bool IsControl(const QWidget* widget, const QWidget* page) {
  for (const QWidget* up = widget->parentWidget(); up != nullptr && up != page;
       up = up->parentWidget()) {
    if (qobject_cast<const QAbstractItemView*>(up) != nullptr) return false;
  }
  return qobject_cast<const QAbstractButton*>(widget) || qobject_cast<const QLineEdit*>(widget) ||
         qobject_cast<const QAbstractSlider*>(widget) || qobject_cast<const QComboBox*>(widget) ||
         qobject_cast<const QAbstractItemView*>(widget) || qobject_cast<const QLabel*>(widget);
}

QString Describe(const QWidget* widget, const QRect& shown, const QRect& view) {
  QString text;
  QDebug(&text) << widget->objectName() << shown << "view" << view;
  return text;
}

}  // namespace

class ScreenFitTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void EveryControlOfEveryPageScrollsIntoTheScreen() {
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    const QRect screen = f.screen()->availableGeometry();
    f.move(screen.topLeft());
    f.SetEngineeringView(true);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY2(screen.contains(f.frameGeometry()),
             qPrintable(Describe(&f, f.frameGeometry(), screen)));
    QVERIFY(screen.contains(GlobalRect(f.Panel->btnSimpleAuto)));

    QScrollBar* bar = f.PagesScroll->verticalScrollBar();
    const QRect view = GlobalRect(f.PagesScroll->viewport());
    QVERIFY(screen.contains(view));
    int checked = 0;
    for (int i = 0; i < f.MainPageControl->count(); ++i) {
      f.MainPageControl->setCurrentIndex(i);
      QWidget* page = f.MainPageControl->widget(i);
      for (QWidget* control : page->findChildren<QWidget*>()) {
        if (!control->isVisibleTo(page) || !IsControl(control, page)) continue;
        // Scrolled as a person would: down until its bottom shows, then up
        // to its top.
        const int top = control->mapTo(f.MainPageControl, QPoint(0, 0)).y();
        bar->setValue(top + control->height() - view.height());
        QRect shown = GlobalRect(control);
        QVERIFY2(shown.bottom() <= view.bottom(), qPrintable(Describe(control, shown, view)));
        bar->setValue(top);
        shown = GlobalRect(control);
        QVERIFY2(shown.top() >= view.top(), qPrintable(Describe(control, shown, view)));
        if (control->height() <= view.height()) {
          QVERIFY2(view.contains(shown), qPrintable(Describe(control, shown, view)));
        }
        ++checked;
      }
    }
    QVERIFY(checked > 150);
  }

  void TabKeyBringsEachControlOfTheIspPageIntoView() {
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    f.move(f.screen()->availableGeometry().topLeft());
    f.SetEngineeringView(true);
    f.show();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    f.MainPageControl->setCurrentWidget(f.tabISP);
    f.IspPg->btnUSBChipID->setFocus();
    const QRect view = GlobalRect(f.PagesScroll->viewport());
    QSet<QWidget*> reached;
    for (int i = 0; i < 80; ++i) {
      QWidget* focused = QApplication::focusWidget();
      QVERIFY(focused != nullptr);
      if (f.tabISP->isAncestorOf(focused)) {
        reached.insert(focused);
        QVERIFY2(view.contains(GlobalRect(focused)),
                 qPrintable(Describe(focused, GlobalRect(focused), view)));
      }
      QTest::keyClick(focused, Qt::Key_Tab);
    }
    // The Auto button and the step boxes sit at the page's bottom.
    QVERIFY(reached.contains(f.IspPg->btnUSBISPAuto));
    QVERIFY(reached.contains(f.IspPg->chkProtect));
  }
};

QTEST_MAIN(ScreenFitTest)
#include "ScreenFitTest.moc"
