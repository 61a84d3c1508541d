// The I2C Access page and the "Special I2C access" group of the Information
// page.
#include "ui/I2cPage.h"

namespace korvalen {

std::unique_ptr<I2cPage> MakeI2cPage(TForm1&, QWidget*) { return nullptr; }

}  // namespace korvalen
