// The Information page.
#include "ui/InformationPage.h"

#include <QGroupBox>

#include "ui/Unit1.h"

namespace korvalen {

InformationPage::InformationPage(TForm1&, QWidget* tab) {
  GroupBox7 = new QGroupBox("Special I2C access", tab);
  GroupBox7->setObjectName("GroupBox7");
  GroupBox7->setGeometry(8, 200, 576, 240);
}

std::unique_ptr<InformationPage> MakeInformationPage(TForm1& form, QWidget* tab) {
  return std::make_unique<InformationPage>(form, tab);
}

}  // namespace korvalen
