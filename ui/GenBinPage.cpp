// The Gen. Bin File page.
#include "ui/GenBinPage.h"

namespace korvalen {

std::unique_ptr<GenBinPage> MakeGenBinPage(TForm1&, QWidget*) { return nullptr; }

}  // namespace korvalen
