// The ISP page: single flash operations, the range choice, the Auto
// sequence and its choices, and the labels where the flash walks report.
#pragma once

#include <QObject>
#include <QString>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QWidget;

namespace korvalen {

class FlashOperations;
class LabeledEdit;
class PageContext;
class UpdateSequences;

class IspPage : public QObject {
  Q_OBJECT

 public:
  // The operations and sequences are the main window's; they outlive the page.
  IspPage(PageContext& context, FlashOperations& ops, UpdateSequences& seq, QWidget* tab);

  QGroupBox* GroupBox1 = nullptr;  // "Function Test"
  QPushButton* btnUSBChipID = nullptr;
  QPushButton* btnUSBReadStatus = nullptr;
  QPushButton* btnUSBWriteEnable = nullptr;
  QPushButton* btnUSBWriteDisable = nullptr;
  QPushButton* btnEnterISP = nullptr;
  QPushButton* btnUSBErase = nullptr;
  QPushButton* btnUSBBlank = nullptr;
  QPushButton* btnUSBProgram = nullptr;
  QPushButton* btnUSBVerify = nullptr;
  QPushButton* btnReadBack = nullptr;
  QLabel* lblUSBProcessInfo = nullptr;
  QLabel* lblUSBISPProcess = nullptr;
  QLabel* lblUSBISPStatusReg = nullptr;
  QLabel* lblUSBChipID = nullptr;
  QLabel* lblUSBStatus = nullptr;
  QLabel* lblUSBChecksum = nullptr;
  LabeledEdit* lbledtUSBWriteStatus = nullptr;
  QGroupBox* gbxISPRange = nullptr;
  QRadioButton* rbnRange0 = nullptr;
  QRadioButton* rbnRange1 = nullptr;
  LabeledEdit* lbledISPStart = nullptr;
  LabeledEdit* lbledISPRange = nullptr;
  QLabel* Label20 = nullptr;
  QLabel* Label21 = nullptr;
  QGroupBox* gbxFlashCMD = nullptr;
  QPushButton* btnUSBISPAuto = nullptr;
  QPushButton* Button1 = nullptr;  // " Save"
  QCheckBox* chkISPMode = nullptr;
  QCheckBox* chkErase = nullptr;
  QCheckBox* chkBlank = nullptr;
  QCheckBox* chkProgram = nullptr;
  QCheckBox* chkVerify = nullptr;
  QCheckBox* chkReadFile = nullptr;
  QCheckBox* chkProtect = nullptr;

  // Start-up's choices: ISP mode and every step but Flash Protect, the whole
  // flash, and 64 KB in the range edits.
  void ApplyIspDefaults();
  // The single operations and the Auto choices show with the engineering view.
  void SetIspSequenceControlsVisible(bool visible);

  // Where the flash walks report (the main window forwards its flash view).
  void ShowProcessInfo(const QString& text);
  void ShowProcessAddress(const QString& text);
  void ShowStatusRegister(const QString& text);

  void btnUSBISPAutoClick();
  void btnEnterISPClick();
  void btnUSBChipIDClick();
  void btnUSBReadStatusClick();
  void btnUSBWriteEnableClick();
  void btnUSBWriteDisableClick();
  void lbledtUSBWriteStatusKeyDown();
  void btnUSBEraseClick();
  void btnUSBBlankClick();
  void btnUSBProgramClick();
  void btnUSBVerifyClick();
  void btnReadBackClick();
  void rbnRangeClick();
  void lbledISPStartKeyDown();
  void btnSaveBinClick();
  // Reloads ProgramFilePath into the update's image for Auto.
  void ReadProgramFile();
  void AddToFileHistory();

 private:
  void Build(QWidget* tab);
  void BuildRangeGroup(QWidget* tab);
  void BuildAutoControls(QWidget* tab);

  PageContext& context_;
  FlashOperations& ops_;
  UpdateSequences& seq_;
};

}  // namespace korvalen
