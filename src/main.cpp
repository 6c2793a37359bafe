#include "instrument_switch.h"
#include "registry/registry.h"

// The command line, the instance handles and the show-window code are all ignored.
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  orvik::RunInstrumentSwitch();
  return 0;
}

#ifndef _WIN32
int main() { return WinMain(nullptr, nullptr, nullptr, 0); }
#endif
