#pragma once

namespace orvik {

// Carries out a pending instrument switch request, if there is one. Never fails visibly:
// every registry failure simply ends the run.
void RunInstrumentSwitch();

} // namespace orvik
