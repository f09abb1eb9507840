#include "audio/process_loopback_completion_handler.h"

namespace kalto {

using platform::audio::ActivateAudioInterfaceAsyncOperation;

ProcessLoopbackCompletionHandler::ProcessLoopbackCompletionHandler()
    : m_completedEvent(std::make_shared<platform::audio::Event>(true, false)) {}

ProcessLoopbackCompletionHandler::~ProcessLoopbackCompletionHandler() = default;

HRESULT ProcessLoopbackCompletionHandler::ActivateCompleted(ActivateAudioInterfaceAsyncOperation& operation) {
  try {
    HRESULT activateResult = E_FAIL;
    std::shared_ptr<platform::audio::AudioClient> client;
    HRESULT hr = operation.GetActivateResult(&activateResult, &client);
    if (Failed(hr)) {
      m_activateResult = hr;
    } else if (Failed(activateResult)) {
      m_activateResult = activateResult;
    } else {
      // A success without an interface leaves no client; the waiter reports that itself.
      m_audioClient = std::move(client);
      m_activateResult = S_OK;
    }
  } catch (...) {
    m_audioClient.reset();
    m_activateResult = E_FAIL;
  }
  // The waiter must never be left waiting for the full time-out on a completed activation.
  m_completedEvent->Set();
  return S_OK;
}

}  // namespace kalto
