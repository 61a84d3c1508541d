// The Register page: its controls and state, held by TForm1.
#pragma once

#include <memory>

class QWidget;

namespace korvalen {

class TForm1;

// Not built yet: MakeRegisterPage gives nullptr and the tab stays disabled.
class RegisterPage {};

std::unique_ptr<RegisterPage> MakeRegisterPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
