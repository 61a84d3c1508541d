// The Register page.
#include "ui/RegisterPage.h"

namespace korvalen {

std::unique_ptr<RegisterPage> MakeRegisterPage(TForm1&, QWidget*) { return nullptr; }

}  // namespace korvalen
