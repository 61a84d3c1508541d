// The one-click update and the window's side of the flash view: labels,
// colours and message pumping.
#include <QApplication>
#include <QPushButton>

#include "flash/UpdateSequences.h"
#include "ui/Captions.h"
#include "ui/IspPage.h"
#include "ui/MainWindow.h"

namespace korvalen {
namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace

bool MainWindow::SequenceBusy() const { return seq_->flags().sequence_busy; }

bool MainWindow::UpdateFinished() const { return seq_->flags().update_finished; }

bool MainWindow::DeviceBusy() const { return SequenceBusy() || ops_->busy(); }

bool MainWindow::StartEnabled() const { return Panel->btnSimpleAuto->isEnabled(); }

void MainWindow::ClickStart() { Panel->btnSimpleAuto->click(); }

void MainWindow::btnSimpleAutoClick() {
  switch (seq_->StartButtonAction()) {
    case ClickAction::kIgnore:
      return;
    case ClickAction::kStop:
      seq_->RequestStop();
      return;
    case ClickAction::kStart:
      break;
  }
  seq_->BeginOneClick();
  context_->NoteDeviceBusy();
  if (!dialogs_.AskOkCancel(ToQString(kWarningTitle), ToQString(wording().update_warning))) {
    seq_->CancelOneClick();
    context_->NoteDeviceBusy();
    return;
  }
  Panel->btnSimpleAuto->setText(ToQString(kCaptionStop));
  progress_ = std::make_unique<UpdateProgress>(images_.Image->length);
  Panel->ResetProgress();
  Panel->SetProgressShown(true);
  const OneClickResult result = seq_->RunOneClickUpdate();
  progress_.reset();
  // Whatever ended the run, the bar's last figures are no longer news.
  Panel->SetProgressShown(false);
  context_->NoteDeviceBusy();
  // A refused run leaves Start as it was; any other ends the update for good.
  Panel->btnSimpleAuto->setText(ToQString(result.refused ? kCaptionStart : kCaptionFinish));
  Panel->btnSimpleAuto->setEnabled(result.refused);
}

// The flash walks report on the ISP page, whichever sequence runs them.
void MainWindow::ShowProcessInfo(std::string_view text) { IspPg->ShowProcessInfo(ToQString(text)); }

void MainWindow::ShowProcessAddress(std::string_view text) {
  IspPg->ShowProcessAddress(ToQString(text));
}

void MainWindow::ShowStatusRegister(std::string_view text) {
  IspPg->ShowStatusRegister(ToQString(text));
}

void MainWindow::ShowUpdateStatus(std::string_view text) {
  const QString shown = ToQString(text);
  if (Panel->SetProgressLine(shown)) Q_EMIT ProgressShown(shown);
}

void MainWindow::SetUpdateStatusStyle(StatusColour colour, StatusSize size) {
  const QColor text_colour = colour == StatusColour::kRed ? QColor(Qt::red)
                             : colour == StatusColour::kBlue
                                 ? QColor(Qt::blue)
                                 : palette().color(QPalette::WindowText);
  const int points = size == StatusSize::kUnchanged ? 0
                     : size == StatusSize::kLarge   ? kStatusFontLargePoints
                                                    : kStatusFontNormalPoints;
  Panel->SetProgressLineStyle(text_colour, points);
}

void MainWindow::ShowUpdateNotice(std::string_view text) {
  const QString shown = ToQString(text);
  Panel->ShowNotice(shown);
  Q_EMIT NoticeShown(shown);
}

void MainWindow::VerdictReached(const UpdateVerdict& verdict) {
  WordingView::VerdictReached(verdict);
  if (verdict.sequence != SequenceKind::kOneClick) return;
  Panel->SetProgressShown(false);
  Q_EMIT VerdictShown(verdict.verdict);
}

void MainWindow::PumpMessages() {
  // The pages ask whether the device is busy before each exchange; a pump
  // is where their clicks get in.
  if (context_) context_->NoteDeviceBusy();
  QCoreApplication::processEvents();
  flash_clock_.NotePumped();
}

void MainWindow::NoteProgress(ProgressStep step, uint64_t done, uint64_t total) {
  // Only the one-click update has the bar; the ISP page's operations show
  // their addresses instead.
  if (!progress_) return;
  const ProgressReading& reading = progress_->Note(step, done, total, clock_.NowMicros());
  QString text = QString::number(static_cast<int>(reading.fraction * 100)) + "%";
  if (reading.micros_left && reading.fraction < 1) {
    text += "  " + QString::fromStdString(FormatMinutesSeconds(*reading.micros_left)) + " left";
  }
  Panel->ShowProgress(static_cast<int>(reading.fraction * kProgressSteps), text);
}

}  // namespace korvalen
