#pragma once
#include <memory>

#include "common/result.h"
#include "platform/audio/audio.h"

namespace kalto {

// Receives the outcome of a process-loopback activation on a platform worker thread. The
// activating thread waits on CompletedEvent and reads the result only after the event is set;
// a completion that arrives after the waiter gave up touches only this reference-counted object.
class ProcessLoopbackCompletionHandler : public platform::audio::ActivateAudioInterfaceCompletionHandler {
 public:
  ProcessLoopbackCompletionHandler();
  ~ProcessLoopbackCompletionHandler() override;
  ProcessLoopbackCompletionHandler(const ProcessLoopbackCompletionHandler&) = delete;
  ProcessLoopbackCompletionHandler& operator=(const ProcessLoopbackCompletionHandler&) = delete;

  HRESULT ActivateCompleted(platform::audio::ActivateAudioInterfaceAsyncOperation& operation) override;

  platform::audio::Event& CompletedEvent() { return *m_completedEvent; }
  // Valid only after CompletedEvent was seen set.
  HRESULT ActivateResult() const { return m_activateResult; }
  std::shared_ptr<platform::audio::AudioClient> AudioClient() const { return m_audioClient; }

 private:
  std::shared_ptr<platform::audio::Event> m_completedEvent;
  HRESULT m_activateResult = E_FAIL;
  std::shared_ptr<platform::audio::AudioClient> m_audioClient;
};

}  // namespace kalto
