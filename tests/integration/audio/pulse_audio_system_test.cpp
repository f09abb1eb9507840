// The PulseAudio backend against a private daemon: endpoints and formats, voice-processing
// requests, and a server that is missing.
#include "platform/audio/pulse/pulse_audio_system.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pulse_fixture.h"
#include "support/debug_capture.h"

namespace kalto::test {
namespace {

using namespace pa;

class PulseAudioSystemTest : public PulseTest {
 protected:
  void SetUp() override {
    PulseTest::SetUp();
    if (!HasFatalFailure() && !IsSkipped()) {
      ASSERT_EQ(system->CreateDeviceEnumerator(&enumerator), S_OK);
    }
  }
  std::shared_ptr<Device> Endpoint(EDataFlow flow, ERole role = eConsole) {
    std::shared_ptr<Device> device;
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(flow, role, &device), S_OK);
    return device;
  }
  static std::shared_ptr<AudioClient> Activate(const std::shared_ptr<Device>& device) {
    std::shared_ptr<AudioClient> client;
    EXPECT_EQ(device->Activate(&client), S_OK);
    return client;
  }
  std::shared_ptr<DeviceEnumerator> enumerator;
};

std::string Id(Device& device) {
  std::wstring id;
  EXPECT_EQ(device.GetId(&id), S_OK);
  return WideToUtf8(id);
}

std::vector<std::string> Ids(DeviceEnumerator& enumerator, EDataFlow flow) {
  std::vector<std::shared_ptr<Device>> devices;
  EXPECT_EQ(enumerator.EnumAudioEndpoints(flow, &devices), S_OK);
  std::vector<std::string> ids;
  for (auto& d : devices) ids.push_back(Id(*d));
  return ids;
}

TEST_F(PulseAudioSystemTest, EndpointsDefaultsAndMixFormatsAreTheServersOwn) {
  auto render = Endpoint(eRender);
  EXPECT_EQ(Id(*render), "kalto_speakers");
  EXPECT_EQ(render->GetDataFlow(), eRender);
  std::wstring name;
  EXPECT_EQ(render->GetFriendlyName(&name), S_OK);
  EXPECT_EQ(name, L"Speakers");
  // The server has one default source: every role leads to it.
  for (ERole role : {eConsole, eMultimedia, eCommunications}) EXPECT_EQ(Id(*Endpoint(eCapture, role)), "kalto_mic");

  std::shared_ptr<Device> device;
  ASSERT_EQ(enumerator->GetDevice(L"kalto_mic_feed", &device), S_OK);
  EXPECT_EQ(device->GetDataFlow(), eRender);
  EXPECT_EQ(enumerator->GetDevice(L"no_such_source", &device), E_NOTFOUND);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(enumerator->GetDevice(L"", &device), E_NOTFOUND);
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eAll, eConsole, &device), E_INVALIDARG);

  const auto capture = Ids(*enumerator, eCapture), renders = Ids(*enumerator, eRender);
  EXPECT_NE(std::find(capture.begin(), capture.end(), "kalto_mic"), capture.end());
  EXPECT_EQ(std::find(capture.begin(), capture.end(), "kalto_speakers.monitor"), capture.end())
      << "monitors are not microphones";
  EXPECT_EQ(renders, (std::vector<std::string>{"kalto_speakers", "kalto_mic_feed", "kalto_feed44"}));
  EXPECT_EQ(Ids(*enumerator, eAll).size(), capture.size() + renders.size());

  std::unique_ptr<WaveFormat> format;
  ASSERT_EQ(Activate(render)->GetMixFormat(&format), S_OK);
  EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(format->nSamplesPerSec, 48000u);
  EXPECT_EQ(format->nChannels, 2);
  EXPECT_EQ(format->wBitsPerSample, 32);
  EXPECT_EQ(format->nBlockAlign, 8);
  EXPECT_EQ(format->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(format->dwChannelMask, KSAUDIO_SPEAKER_STEREO);
  ASSERT_EQ(Activate(Endpoint(eCapture))->GetMixFormat(&format), S_OK);
  EXPECT_EQ(format->nChannels, 1);
  EXPECT_EQ(format->wBitsPerSample, 16);
  EXPECT_EQ(format->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
}

TEST_F(PulseAudioSystemTest, VoiceProcessingIsAskedOfAnEchoCancellerWhenTheServerHasOne) {
  DebugCapture debug;
  {
    AudioCapture capture(system);
    ASSERT_TRUE(capture.Initialize(false, true, L"kalto_mic", 48000, 2, false, 1, 1));
    EXPECT_TRUE(capture.HasMicStream()) << "an unsupported request leaves the microphone usable";
  }
  EXPECT_EQ(debug.Lines(), (std::vector<std::string>{"[AudioCapture] WARNING: Failed to enable Voice Processing "
                                                     "DSP: 0x80070032 (continuing without)\n"}));
  const std::string module = server->Output({"pactl", "load-module", "module-filter-apply"});
  ASSERT_FALSE(module.empty());
  {
    AudioCapture capture(system);
    ASSERT_TRUE(capture.Initialize(false, true, L"kalto_mic", 48000, 2, false, 1, 1));
    const std::string outputs = server->Output({"pactl", "list", "source-outputs"});
    EXPECT_NE(outputs.find("filter.want = \"echo-cancel\""), std::string::npos) << outputs;
  }
  EXPECT_EQ(debug.Lines().size(), 1u);
  server->Run({"pactl", "unload-module", module.substr(0, module.find_first_of("\r\n"))});
}

TEST(PulseServerLossTest, AMissingServerIsReportedOnceAndFailsEveryOpening) {
  DebugCapture debug;
  auto missing = std::make_shared<pulse::PulseAudioSystem>("unix:/nonexistent/kalto/native");
  AudioCapture capture(missing);
  EXPECT_FALSE(capture.Initialize(true, true, L"", 48000, 2, false, 0, 1));
  AudioCapture processCapture(missing);
  ASSERT_TRUE(processCapture.Initialize(false, false, L"", 48000, 2, false, 0, 1));
  EXPECT_FALSE(processCapture.InitializeProcessLoopback(1));
  const auto lines = debug.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("[PulseAudio] Cannot connect to the sound server: ", 0), 0u) << lines[0];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{
                "[AudioCapture] Failed to get default render device\n",
                "[AudioCapture] Default communications mic failed (0x88890010), trying multimedia role\n",
                "[AudioCapture] Failed to get microphone device: 0x88890010\n",
                "[AudioCapture] Process loopback activation failed: 0x88890010; falling back to system audio\n"}));
}

}  // namespace
}  // namespace kalto::test
