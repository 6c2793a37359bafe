#include "instrument_switch.h"

#include "registry/registry.h"

#include <cstring>

namespace orvik {
namespace {

constexpr const char *kDeviceKeyPath = R"(SYSTEM\CurrentControlSet\Control\MediaResources\Orvik)";
constexpr const char *kMidiMapKeyPath =
    R"(Software\Microsoft\Windows\CurrentVersion\Multimedia\MIDIMap)";
constexpr const char *kSwitchFlag = "BootOnOrvik";
constexpr const char *kSelector = "Codec";
constexpr const char *kCurrentInstrument = "CurrentInstrument";

struct Instrument {
  DWORD codec;
  const char *text;
};

// Codec 2 selects device 0000 and codec 1 selects device 0001; the crossing is intended.
constexpr Instrument kInstruments[] = {
    {2, "mmdrv.dll<0000>"},
    {1, "mmdrv.dll<0001>"},
};

// Owns one open registry key and closes it on every path out of its scope.
class OpenKey {
public:
  OpenKey() = default;
  OpenKey(const OpenKey &) = delete;
  OpenKey &operator=(const OpenKey &) = delete;
  ~OpenKey() {
    if (key_ != nullptr) {
      RegCloseKey(key_);
    }
  }

  bool Open(HKEY root, const char *path) {
    return RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS;
  }
  [[nodiscard]] HKEY Get() const { return key_; }

private:
  HKEY key_ = nullptr;
};

// Reads a value of any type whose data fits in four bytes as a little-endian number; bytes
// that the data does not reach stay zero.
bool ReadNumber(HKEY key, const char *name, DWORD *number) {
  BYTE buffer[4] = {0, 0, 0, 0};
  DWORD size = sizeof buffer;
  if (RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size) != ERROR_SUCCESS) {
    return false;
  }
  *number = static_cast<DWORD>(buffer[0]) | static_cast<DWORD>(buffer[1]) << 8U |
            static_cast<DWORD>(buffer[2]) << 16U | static_cast<DWORD>(buffer[3]) << 24U;
  return true;
}

const char *FindInstrument(DWORD codec) {
  for (const Instrument &instrument : kInstruments) {
    if (instrument.codec == codec) {
      return instrument.text;
    }
  }
  return nullptr;
}

} // namespace

void RunInstrumentSwitch() {
  DWORD codec = 0;
  {
    OpenKey device;
    if (!device.Open(HKEY_LOCAL_MACHINE, kDeviceKeyPath)) {
      return;
    }
    DWORD flag = 0;
    if (!ReadNumber(device.Get(), kSwitchFlag, &flag) || flag == 0) {
      return;
    }
    // A failed reset is ignored on purpose: the flag stays set and the next run retries.
    const BYTE zero[4] = {0, 0, 0, 0};
    RegSetValueExA(device.Get(), kSwitchFlag, 0, REG_DWORD, zero, sizeof zero);
    if (!ReadNumber(device.Get(), kSelector, &codec)) {
      return;
    }
  } // The device key is closed here, before the MIDI map key is opened.

  OpenKey midiMap;
  if (!midiMap.Open(HKEY_CURRENT_USER, kMidiMapKeyPath)) {
    return;
  }
  const char *text = FindInstrument(codec);
  if (text == nullptr) {
    return;
  }
  RegSetValueExA(midiMap.Get(), kCurrentInstrument, 0, REG_SZ,
                 reinterpret_cast<const BYTE *>(text), // NOLINT(*-reinterpret-cast)
                 static_cast<DWORD>(std::strlen(text) + 1));
}

} // namespace orvik
