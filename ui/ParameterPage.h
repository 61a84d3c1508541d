// The Parameter page: the device settings the running firmware keeps (the
// settings block's output options and the USB identity texts). Its controls
// and handlers live here; the block itself is TForm1::DeviceSettings.
#pragma once

#include <QObject>
#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QWidget;

namespace korvalen {

class LabeledEdit;
class TForm1;

class ParameterPage : public QObject {
  Q_OBJECT

 public:
  ParameterPage(TForm1& form, QWidget* tab);

  QLabel* lblEepAvail = nullptr;
  QPushButton* btnReadPara = nullptr;
  QPushButton* btnSetPara = nullptr;
  QLabel* Label8 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QRadioButton* rbnDSDOut0 = nullptr;  // "DSD"
  QRadioButton* rbnDSDOut1 = nullptr;  // "DoP"
  QGroupBox* GroupBox3 = nullptr;
  QRadioButton* rbnI2Slen0 = nullptr;  // "32 bit"
  QRadioButton* rbnI2Slen1 = nullptr;  // "24 bit"
  QGroupBox* GroupBox4 = nullptr;
  QRadioButton* rbnSPDIFlen0 = nullptr;
  QRadioButton* rbnSPDIFlen1 = nullptr;
  QGroupBox* GroupBox5 = nullptr;  // rbnMCLKOutFreq0..3, found by name
  QGroupBox* GroupBox6 = nullptr;
  QRadioButton* rbnI2SFormat0 = nullptr;  // "Standard"
  QRadioButton* rbnI2SFormat1 = nullptr;  // "Left Justify"
  QCheckBox* chkI2SLRSwap = nullptr;
  QCheckBox* chkDSDLRSwap = nullptr;
  QCheckBox* chkMCLKOutOff = nullptr;
  QCheckBox* chkI2SOutOff = nullptr;
  QCheckBox* chkSPDIFOutOff = nullptr;
  LabeledEdit* lbledSysVID = nullptr;
  LabeledEdit* lbledSysPID = nullptr;
  QLabel* Label2 = nullptr;
  LabeledEdit* lbledSysStr1 = nullptr;
  LabeledEdit* lbledSysStr2 = nullptr;
  LabeledEdit* lbledSysStr3 = nullptr;
  // Under the identity edits: why a typed text was not sent.
  QLabel* lblSysIdentityNote = nullptr;

  // Sets every control from TForm1::DeviceSettings.
  void ShowDeviceSettings();

  // Option handlers: each rewrites only its own bits of the block.
  void rbnI2SlenClick();
  void rbnSPDIFlenClick();
  void chkI2SLRSwapClick();
  void chkDSDLRSwapClick();
  void rbnMCLKOutFreqClick();
  void rbnI2SFormatClick();
  void rbnDSDOutClick();
  void chkMCLKOutOffClick();
  void chkI2SOutOffClick();
  void chkSPDIFOutOffClick();
  void btnReadParaClick();
  void btnSetParaClick();
  // Enter in the VID/PID edits and in the three string edits.
  void lbledSysVIDPIDKeyDown(LabeledEdit* sender);
  void lbledSysStrKeyDown(LabeledEdit* sender);

 private:
  void Build(QWidget* tab);
  void SendIdentity(LabeledEdit* sender, int field);
  // True (and says so under the edits) while an update holds the device.
  bool RefuseWhileUpdating();
  void ClearUpdateRunningNote();

  TForm1& form_;
};

std::unique_ptr<ParameterPage> MakeParameterPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
