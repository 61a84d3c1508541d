// The Gen. Bin File page: its controls and state, held by TForm1.
#pragma once

#include <memory>

class QWidget;

namespace korvalen {

class TForm1;

// Not built yet: MakeGenBinPage gives nullptr and the tab stays disabled.
class GenBinPage {};

std::unique_ptr<GenBinPage> MakeGenBinPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
