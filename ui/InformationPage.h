// The Information page: its controls and state, held by TForm1.
#pragma once

#include <memory>

class QGroupBox;
class QWidget;

namespace korvalen {

class TForm1;

class InformationPage {
 public:
  InformationPage(TForm1& form, QWidget* tab);

  // The status read-out and the media keys are not built yet; the tab stays
  // disabled until they are.
  bool Built() const { return false; }

  // "Special I2C access": its controls belong to the I2C page
  // (ui/I2cPage.cpp), which shares the slave address with it.
  QGroupBox* GroupBox7 = nullptr;
};

std::unique_ptr<InformationPage> MakeInformationPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
