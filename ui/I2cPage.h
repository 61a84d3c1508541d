// The I2C Access page and the "Special I2C access" group of the Information
// page (InformationPg->GroupBox7): their controls and state, held by TForm1.
#pragma once

#include <memory>

class QWidget;

namespace korvalen {

class TForm1;

// Not built yet: MakeI2cPage gives nullptr and the tab stays disabled.
class I2cPage {};

std::unique_ptr<I2cPage> MakeI2cPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
