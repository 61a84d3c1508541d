// The Parameter page.
#include "ui/ParameterPage.h"

namespace korvalen {

std::unique_ptr<ParameterPage> MakeParameterPage(TForm1&, QWidget*) { return nullptr; }

}  // namespace korvalen
