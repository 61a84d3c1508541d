// The screen's horizontal resolution, which decides the window's start size.
#pragma once

namespace korvalen {

// Dots per inch across the primary screen as the system reports it; 96
// when there is no screen to ask.
int HorizontalDotsPerInch();

}  // namespace korvalen
