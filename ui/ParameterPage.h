// The Parameter page: its controls and state, held by TForm1.
#pragma once

#include <memory>

class QWidget;

namespace korvalen {

class TForm1;

// Not built yet: MakeParameterPage gives nullptr and the tab stays disabled.
class ParameterPage {};

std::unique_ptr<ParameterPage> MakeParameterPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
