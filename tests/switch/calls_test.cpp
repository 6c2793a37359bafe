// The exact registry calls of a run, on each path: what the final registry state cannot
// show (the order of the steps, the arguments, that keys are closed and never two at once).
#include "fake_registry.h"
#include "instrument_switch.h"

#include <gtest/gtest.h>

namespace orvik::test {
namespace {

const std::string kDevice = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\MediaResources\\Orvik";
const std::string kMidiMap =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap";

const std::string kOpenDevice = "open " + kDevice + " options=0 access=0xf003f -> ok";
const std::string kQueryFlag =
    "query " + kDevice + " BootOnOrvik reserved=null type=null size=4 buffer=00000000 -> ok";
const std::string kResetFlag =
    "set " + kDevice + " BootOnOrvik reserved=0 type=4 data=00000000 -> ok";
const std::string kQueryCodec =
    "query " + kDevice + " Codec reserved=null type=null size=4 buffer=00000000 -> ok";
const std::string kCloseDevice = "close " + kDevice;
const std::string kOpenMidiMap = "open " + kMidiMap + " options=0 access=0xf003f -> ok";
const std::string kCloseMidiMap = "close " + kMidiMap;
// "mmdrv.dll<0000>" and "mmdrv.dll<0001>" with their NULs.
const std::string kSetInstrument0 =
    "set " + kMidiMap +
    " CurrentInstrument reserved=0 type=1 data=6d6d6472762e646c6c3c303030303e00 -> ok";
const std::string kSetInstrument1 =
    "set " + kMidiMap +
    " CurrentInstrument reserved=0 type=1 data=6d6d6472762e646c6c3c303030313e00 -> ok";

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  return text.replace(text.find(from), from.size(), to);
}

struct CallCase {
  std::string name;
  bool deviceKey;
  std::map<std::string, std::string> deviceValues;
  bool midiMapKey;
  std::vector<std::string> failingSets;
  std::vector<std::string> calls;
};

const std::string kOne("\x01\x00\x00\x00", 4);
const std::string kTwo("\x02\x00\x00\x00", 4);

std::vector<CallCase> Cases() {
  return {
      {"codec_2",
       true,
       {{"BootOnOrvik", kOne}, {"Codec", kTwo}},
       true,
       {},
       {kOpenDevice, kQueryFlag, kResetFlag, kQueryCodec, kCloseDevice, kOpenMidiMap,
        kSetInstrument0, kCloseMidiMap}},
      {"codec_1",
       true,
       {{"BootOnOrvik", kOne}, {"Codec", std::string("\x01", 1)}},
       true,
       {},
       {kOpenDevice, kQueryFlag, kResetFlag, kQueryCodec, kCloseDevice, kOpenMidiMap,
        kSetInstrument1, kCloseMidiMap}},
      {"device_key_missing", false, {}, true, {}, {Replace(kOpenDevice, "-> ok", "-> missing")}},
      {"flag_missing",
       true,
       {{"Codec", kTwo}},
       true,
       {},
       {kOpenDevice, Replace(kQueryFlag, "-> ok", "-> missing"), kCloseDevice}},
      {"flag_zero",
       true,
       {{"BootOnOrvik", std::string(4, '\0')}, {"Codec", kTwo}},
       true,
       {},
       {kOpenDevice, kQueryFlag, kCloseDevice}},
      {"flag_too_long",
       true,
       {{"BootOnOrvik", std::string(8, '\x01')}},
       true,
       {},
       {kOpenDevice, Replace(kQueryFlag, "-> ok", "-> more data"), kCloseDevice}},
      {"codec_missing_never_opens_midi_map",
       true,
       {{"BootOnOrvik", kOne}},
       true,
       {},
       {kOpenDevice, kQueryFlag, kResetFlag, Replace(kQueryCodec, "-> ok", "-> missing"),
        kCloseDevice}},
      {"codec_3_opens_and_closes_midi_map",
       true,
       {{"BootOnOrvik", kOne}, {"Codec", "\x03"}},
       true,
       {},
       {kOpenDevice, kQueryFlag, kResetFlag, kQueryCodec, kCloseDevice, kOpenMidiMap,
        kCloseMidiMap}},
      {"midi_map_missing",
       true,
       {{"BootOnOrvik", kOne}, {"Codec", kTwo}},
       false,
       {},
       {kOpenDevice, kQueryFlag, kResetFlag, kQueryCodec, kCloseDevice,
        Replace(kOpenMidiMap, "-> ok", "-> missing")}},
      {"failed_reset_goes_on",
       true,
       {{"BootOnOrvik", kOne}, {"Codec", kTwo}},
       true,
       {"BootOnOrvik"},
       {kOpenDevice, kQueryFlag, Replace(kResetFlag, "-> ok", "-> fails"), kQueryCodec,
        kCloseDevice, kOpenMidiMap, kSetInstrument0, kCloseMidiMap}},
      {"failed_instrument_write_closes",
       true,
       {{"BootOnOrvik", kOne}, {"Codec", kTwo}},
       true,
       {"CurrentInstrument"},
       {kOpenDevice, kQueryFlag, kResetFlag, kQueryCodec, kCloseDevice, kOpenMidiMap,
        Replace(kSetInstrument0, "-> ok", "-> fails"), kCloseMidiMap}},
  };
}

class SwitchCallsTest : public testing::TestWithParam<CallCase> {};

TEST_P(SwitchCallsTest, MakesExactlyTheseCalls) {
  const CallCase &callCase = GetParam();
  Fake() = FakeRegistry{};
  if (callCase.deviceKey) {
    Fake().keys[kDevice].values = callCase.deviceValues;
  }
  if (callCase.midiMapKey) {
    Fake().keys[kMidiMap] = FakeKey{};
  }
  Fake().failingSets = callCase.failingSets;

  RunInstrumentSwitch();

  EXPECT_EQ(Fake().calls, callCase.calls);
  EXPECT_EQ(Fake().openKeys, 0) << "a key was left open";
  EXPECT_LE(Fake().mostOpenKeys, 1) << "two keys were open at once";
}

INSTANTIATE_TEST_SUITE_P(Paths, SwitchCallsTest, testing::ValuesIn(Cases()),
                         [](const auto &testInfo) { return testInfo.param.name; });

} // namespace
} // namespace orvik::test
