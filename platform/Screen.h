#pragma once

#include <functional>

// The main screen, as far as code that links no GUI needs to know it.
//
// The service client asks for the scale factor but must not depend on QtGui; a GUI program
// installs the reader of its primary screen at start (installPrimaryScreen() in platform/gui).
// Without one, as in the command line, there is no screen and the factor is 1.0.
namespace Screen {

double backingScaleFactor();

using ScaleFactorSource = std::function<double()>;
void setScaleFactorSource(ScaleFactorSource source);

} // namespace Screen
