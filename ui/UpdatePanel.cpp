// The one-click update, the Auto sequence, and the window's side of the
// flash view: labels, colours and message pumping.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include "flash/UpdateSequences.h"
#include "ui/Captions.h"
#include "ui/LabeledEdit.h"
#include "ui/PathFromText.h"
#include "ui/TypedNumbers.h"
#include "ui/Unit1.h"

namespace korvalen {
namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace

bool TForm1::SequenceBusy() const { return seq_->flags().sequence_busy; }

bool TForm1::UpdateFinished() const { return seq_->flags().update_finished; }

void TForm1::btnSimpleAutoClick() {
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
  if (!dialogs_.AskOkCancel(ToQString(kWarningTitle), ToQString(wording().update_warning))) {
    seq_->CancelOneClick();
    return;
  }
  btnSimpleAuto->setText(ToQString(kCaptionStop));
  progress_ = std::make_unique<UpdateProgress>(Image->length);
  prbUpdate->setValue(0);
  lblUpdateTimeLeft->setText("");
  prbUpdate->show();
  lblUpdateTimeLeft->show();
  const OneClickResult result = seq_->RunOneClickUpdate();
  progress_.reset();
  // A refused run leaves Start as it was; any other ends the update for good.
  btnSimpleAuto->setText(ToQString(result.refused ? kCaptionStart : kCaptionFinish));
  btnSimpleAuto->setEnabled(result.refused);
}

void TForm1::btnUSBISPAutoClick() {
  switch (seq_->AutoButtonAction()) {
    case ClickAction::kIgnore:
      return;
    case ClickAction::kStop:
      btnUSBISPAuto->setText(ToQString(kCaptionAuto));
      seq_->RequestStop();
      return;
    case ClickAction::kStart:
      break;
  }
  if (!link_.IsPresent()) {
    dialogs_.Inform(ToQString(kDialogTitle), ToQString(kNoDeviceText));
    return;
  }
  switch (seq_->AutoPrecondition(ProgramFileReady, cbxReadISPFile->currentText().toStdString())) {
    case AutoBlocker::kNone:
      break;
    case AutoBlocker::kNoDevice:
      dialogs_.Inform(ToQString(kDialogTitle), ToQString(kNoDeviceText));
      return;
    case AutoBlocker::kFileNotReady:
      dialogs_.Inform(ToQString(kDialogTitle), ToQString(kFileNotReadyText));
      return;
  }
  AutoOptions options;
  options.isp_mode = chkISPMode->isChecked();
  options.erase = chkErase->isChecked();
  options.blank = chkBlank->isChecked();
  options.program = chkProgram->isChecked();
  options.verify = chkVerify->isChecked();
  options.protect = chkProtect->isChecked();
  options.all_range = rbnRange0->isChecked();
  if (!options.all_range) {
    for (auto [edit, value] : {std::pair{lbledISPStart, &options.start_kb},
                               std::pair{lbledISPRange, &options.size_kb}}) {
      const auto parsed = ParseDecimal(edit->text());
      if (!parsed) {
        dialogs_.ShowError(InvalidIntegerText(edit->text()));
        return;
      }
      *value = *parsed;
    }
  }
  if (chkReadFile->isChecked()) {
    const QString box_text = cbxReadISPFile->currentText();
    if (!box_text.isEmpty()) ProgramFilePath = PathFromText(box_text);
    ReadProgramFile();
    // A reload that failed has left nothing worth programming; erasing the
    // flash for it would leave the device without firmware.
    if (!ProgramFileReady) return;
  }
  if (!seq_->BeginAuto()) return;
  btnUSBISPAuto->setText(ToQString(kCaptionStop));
  seq_->RunAuto(options);
  btnUSBISPAuto->setText(ToQString(kCaptionAuto));
}

void TForm1::ShowProcessInfo(std::string_view text) { lblUSBProcessInfo->setText(ToQString(text)); }

void TForm1::ShowProcessAddress(std::string_view text) {
  lblUSBISPProcess->setText(ToQString(text));
}

void TForm1::ShowStatusRegister(std::string_view text) {
  lblUSBISPStatusReg->setText(ToQString(text));
}

void TForm1::ShowUpdateStatus(std::string_view text) {
  const QString shown = ToQString(text);
  if (lblISPProcStatus->text() == shown) return;
  lblISPProcStatus->setText(shown);
  FitLabelToText(lblISPProcStatus);
  Q_EMIT ProgressShown(shown);
}

void TForm1::SetUpdateStatusStyle(StatusColour colour, StatusSize size) {
  QPalette palette = lblISPProcStatus->palette();
  const QColor text_colour = colour == StatusColour::kRed    ? QColor(Qt::red)
                             : colour == StatusColour::kBlue ? QColor(Qt::blue)
                                                             : this->palette().color(
                                                                   QPalette::WindowText);
  palette.setColor(QPalette::WindowText, text_colour);
  lblISPProcStatus->setPalette(palette);
  if (size != StatusSize::kUnchanged) {
    QFont font = lblISPProcStatus->font();
    font.setPointSize(size == StatusSize::kLarge ? kStatusFontLargePoints
                                                 : kStatusFontNormalPoints);
    lblISPProcStatus->setFont(font);
    FitLabelToText(lblISPProcStatus);
  }
}

void TForm1::ShowUpdateNotice(std::string_view text) {
  const QString shown = ToQString(text);
  lblISPProcNotice->setText(shown);
  lblISPProcNotice->setVisible(!shown.isEmpty());
  Q_EMIT NoticeShown(shown);
}

void TForm1::VerdictReached(const UpdateVerdict& verdict) {
  WordingView::VerdictReached(verdict);
  if (verdict.sequence == SequenceKind::kOneClick) Q_EMIT VerdictShown(verdict.verdict);
}

void TForm1::PumpMessages() {
  QCoreApplication::processEvents();
  flash_clock_.NotePumped();
}

void TForm1::NoteProgress(ProgressStep step, uint64_t done, uint64_t total) {
  // Only the one-click update has the bar; the ISP page's operations show
  // their addresses instead.
  if (!progress_) return;
  const ProgressReading& reading = progress_->Note(step, done, total, clock_.NowMicros());
  prbUpdate->setValue(static_cast<int>(reading.fraction * kProgressSteps));
  QString text = QString::number(static_cast<int>(reading.fraction * 100)) + "%";
  if (reading.micros_left && reading.fraction < 1) {
    text += "  " + QString::fromStdString(FormatMinutesSeconds(*reading.micros_left)) + " left";
  }
  lblUpdateTimeLeft->setText(text);
}

}  // namespace korvalen
