// The Information page: the playback status read-out, the five media-key
// buttons and the "Special I2C access" group.
#pragma once

#include <QObject>
#include <array>
#include <memory>

#include "link/PlaybackStatus.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QWidget;

namespace korvalen {

class PageContext;

class InformationPage : public QObject {
  Q_OBJECT

 public:
  InformationPage(PageContext& context, QWidget* tab);

  QPushButton* btnUpdateStatus = nullptr;
  QLabel* lblConnect = nullptr;
  QLabel* lblMute = nullptr;
  QLabel* lblCurrentFormat0 = nullptr;
  QLabel* lblCurrentFormat1 = nullptr;
  QLabel* lblCurrentFreq0 = nullptr;
  QLabel* lblCurrentFreq1 = nullptr;
  std::array<QPushButton*, 5> btnHID{};  // btnHID0 .. btnHID4

  // "Special I2C access": its controls belong to the I2C page
  // (ui/I2cPage.cpp), which shares the slave address with it.
  QGroupBox* GroupBox7 = nullptr;

  PlaybackStatus status;  // the last values read, 0 before the first read

  void btnUpdateStatusClick();
  void btnHIDClick(QPushButton* sender);

 private:
  PageContext& context_;
};

}  // namespace korvalen
