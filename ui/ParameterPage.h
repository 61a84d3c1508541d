// The Parameter page: the device settings the running firmware keeps (the
// settings block's output options and the USB identity texts).
#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QWidget;

namespace korvalen {

class LabeledEdit;
class PageContext;

class ParameterPage : public QObject {
  Q_OBJECT

 public:
  ParameterPage(PageContext& context, QWidget* tab);

  // The settings block the controls show and the device keeps.
  std::array<uint8_t, 4> DeviceSettings{};

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
  QGroupBox* GroupBox5 = nullptr;
  std::array<QRadioButton*, 4> rbnMCLKOutFreq{};  // rbnMCLKOutFreq0 .. rbnMCLKOutFreq3
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

  // Sets every control from DeviceSettings.
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

  PageContext& context_;
};

}  // namespace korvalen
