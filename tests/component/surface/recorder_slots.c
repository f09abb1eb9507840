/* Walks INativeRecorder's 46 slots in C: each call is checked against the engine's C++ view and each
 * event against what its C handler received, so two slots swapped fail one of the checks. */
#define _POSIX_C_SOURCE 200809L
#include "recorder_slots.h"

#include <math.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define CHECK(slot, condition) \
  if (!(condition)) return (slot)
#define IS(name) KaltoITypedEventHandlerNativeRecorder##name
typedef struct Handler {
  union { IS(Object) o; IS(String) s; IS(RecordingProgress) p; IS(Boolean) b; IS(SoftwareBitmap) m; } iface; /* first */
  atomic_int refs, calls; /* refs: those a recorder holds */
  _Atomic double value;   /* the argument (a progress's seconds, a bitmap's first pixel); -1 from a wrong sender */
  KaltoHString text;
  KaltoEventRegistrationToken token;
} Handler;
static Handler g_started, g_reserved, g_stopped, g_stopped2, g_error, g_progress, g_focus, g_bitmap;
static KaltoINativeRecorder* g_recorder;

static KaltoHResult Done(void* h, KaltoINativeRecorder* sender, double value) {
  atomic_store(&((Handler*)h)->value, sender == g_recorder ? value : -1);
  return atomic_fetch_add(&((Handler*)h)->calls, 1), KALTO_S_OK;
}
static KaltoHResult OnObject(IS(Object) * h, KaltoINativeRecorder* r, KaltoIInspectable* args) {
  if ((void*)h == &g_started) { /* from inside the handler: its own removal, and one more handler */
    r->lpVtbl->remove_Started(r, g_started.token);
    r->lpVtbl->add_Stopped(r, &g_stopped2.iface.s, &g_stopped2.token);
  }
  return Done(h, r, args == NULL);
}
static KaltoHResult OnString(IS(String) * h, KaltoINativeRecorder* r, KaltoHString args) {
  KaltoDeleteString(((Handler*)h)->text);
  KaltoDuplicateString(args, &((Handler*)h)->text);
  return Done(h, r, 0);
}
static KaltoHResult OnProgress(IS(RecordingProgress) * h, KaltoINativeRecorder* r, KaltoIRecordingProgress* args) {
  double seconds = -1;
  args->lpVtbl->get_DurationSeconds(args, &seconds);
  return Done(h, r, seconds);
}
static KaltoHResult OnBoolean(IS(Boolean) * h, KaltoINativeRecorder* r, KaltoBoolean args) { return Done(h, r, args); }
/* The first pixel of a 640x480 BGRA bitmap copied out whole; -2 for anything else. */
static KaltoHResult OnBitmap(IS(SoftwareBitmap) * h, KaltoINativeRecorder* r, KaltoISoftwareBitmap* b) {
  int32_t width = 0, height = 0, format = 0;
  uint32_t size = 0, pixel = 0;
  b->lpVtbl->get_PixelWidth(b, &width), b->lpVtbl->get_PixelHeight(b, &height);
  b->lpVtbl->get_BitmapPixelFormat(b, &format), b->lpVtbl->get_Capacity(b, &size);
  uint8_t* bytes = malloc(size);
  int ok = bytes && width == 640 && height == 480 && format == KALTO_BITMAP_PIXEL_FORMAT_BGRA8 && size == 640 * 480 * 4 &&
           b->lpVtbl->CopyToBuffer(b, bytes, size - 1) == KALTO_E_INVALIDARG && !b->lpVtbl->CopyToBuffer(b, bytes, size);
  ok = ok && memcpy(&pixel, bytes, 4);
  return free(bytes), Done(h, r, ok ? pixel : -2.0);
}
/* The module never asks a handler for another interface. */
#define SLOTS(I, invoke)                                                                                     \
  static KaltoHResult I##Query(IS(I) * h, const KaltoGuid* iid, void** out) {                                \
    return (void)h, (void)iid, *out = NULL, KALTO_E_NOINTERFACE;                                             \
  }                                                                                                          \
  static uint32_t I##AddRef(IS(I) * h) { return (uint32_t)atomic_fetch_add(&((Handler*)h)->refs, 1) + 1; }  \
  static uint32_t I##Release(IS(I) * h) { return (uint32_t)atomic_fetch_sub(&((Handler*)h)->refs, 1) - 1; } \
  static const IS(I##Vtbl) k##I = {I##Query, I##AddRef, I##Release, invoke};
SLOTS(Object, OnObject)
SLOTS(String, OnString)
SLOTS(RecordingProgress, OnProgress)
SLOTS(Boolean, OnBoolean)
SLOTS(SoftwareBitmap, OnBitmap)
static Handler g_started = {.iface.o = {&kObject}}, g_reserved = {.iface.o = {&kObject}},
               g_stopped = {.iface.s = {&kString}}, g_stopped2 = {.iface.s = {&kString}}, g_error = {.iface.s = {&kString}},
               g_progress = {.iface.p = {&kRecordingProgress}}, g_focus = {.iface.b = {&kBoolean}},
               g_bitmap = {.iface.m = {&kSoftwareBitmap}};
static Handler* const g_all[] = {&g_started, &g_reserved, &g_stopped, &g_stopped2, &g_error, &g_progress, &g_focus, &g_bitmap};

static int WaitFor(atomic_int* counter, int count) {
  for (int i = 0; i < 4000 && atomic_load(counter) < count; ++i) nanosleep(&(struct timespec){0, 5000000}, NULL);
  return atomic_load(counter) >= count;
}
/* The operation's result once it finished; -1 when it was not made or did not finish. */
static int Await(KaltoHResult made, KaltoIAsyncOperationBoolean** op) {
  KaltoBoolean result = 0;
  KaltoHResult hr = made == KALTO_S_OK ? KALTO_E_ILLEGAL_METHOD_CALL : made;
  for (int i = 0; i < 4000 && hr == KALTO_E_ILLEGAL_METHOD_CALL; ++i) {
    if ((hr = (*op)->lpVtbl->GetResults(*op, &result)) != KALTO_S_OK) nanosleep(&(struct timespec){0, 5000000}, NULL);
  }
  if (made == KALTO_S_OK) (*op)->lpVtbl->Release(*op);
  return hr == KALTO_S_OK ? result : -1;
}
static int Read(KaltoTestEngine* e) { return e->read(e), 1; }
/* The seven Boolean getters agree with the engine. */
static int Flags(KaltoINativeRecorder* r, KaltoTestEngine* e) {
  const KaltoINativeRecorderVtbl* v = r->lpVtbl;
  KaltoHResult (*const getters[7])(KaltoINativeRecorder*, KaltoBoolean*) = {
      v->get_IsPrepared, v->get_IsRecording, v->get_IsPaused, v->get_IsCursorFocusActive,
      v->get_IsMLModelAvailable, v->get_IsCameraOverlayActive, v->get_IsCameraPreviewActive};
  KaltoBoolean got[7];
  for (int i = 0; i < 7; ++i) CHECK(0, getters[i](r, &got[i]) == KALTO_S_OK);
  return Read(e) && memcmp(got, e->flags, sizeof got) == 0;
}
static int Same(KaltoHString a, KaltoHString b) {
  uint32_t n = 0, m = 0;
  const KaltoChar16 *x = KaltoGetStringRawBuffer(a, &n), *y = KaltoGetStringRawBuffer(b, &m);
  return n == m && !memcmp(x, y, n * sizeof *x);
}

int KaltoTestWalkRecorder(KaltoINativeRecorder* r, KaltoIRecordingConfig* config, KaltoHString camera,
                          KaltoTestEngine* e) {
  static const KaltoChar16 kNotPrepared[] = u"Prepared recording could not start because recorder is not prepared";
  const KaltoINativeRecorderVtbl* v = r->lpVtbl;
  const KaltoBackgroundEffectConfig none = {0, 0, 0, 0, 0, 0}, blur = {1, 1, 0, 0, 0, 0};
  const KaltoCameraOverlayConfig bubble = {1, camera, 0.125, 0.25, 0.375, 0.5, 0, 0, 0, 1, 0.625, 0, 0, 30, none};
  KaltoIAsyncOperationBoolean* op = NULL;
  double seconds = 0;
  int64_t microseconds = 0, counter = -1;
  KaltoHString path = NULL, notPrepared = NULL;
  g_recorder = r;
  for (int i = 0; i < 8; ++i) atomic_store(&g_all[i]->calls, 0);
  CHECK(33, v->add_Started(r, &g_started.iface.o, &g_started.token) == KALTO_S_OK && g_started.refs == 1);
  CHECK(35, v->add_Stopped(r, &g_stopped.iface.s, &g_stopped.token) == KALTO_S_OK);
  CHECK(37, v->add_ErrorOccurred(r, &g_error.iface.s, &g_error.token) == KALTO_S_OK);
  CHECK(39, v->add_ProgressChanged(r, &g_progress.iface.p, &g_progress.token) == KALTO_S_OK);
  CHECK(41, v->add_CursorFocusChanged(r, &g_focus.iface.b, &g_focus.token) == KALTO_S_OK);
  CHECK(43, v->add_PreviewFrameArrived(r, &g_bitmap.iface.m, &g_bitmap.token) == KALTO_S_OK);
  CHECK(45, v->add_ReservedEvent(r, &g_reserved.iface.o, &g_reserved.token) == KALTO_S_OK);

  CHECK(25, v->SetCameraOverlayConfig(r, bubble) == KALTO_S_OK && Read(e) && e->overlay[0] == 0.125 &&
                e->overlay[3] == 0.5 && e->overlay[4] == 0.625);
  CHECK(26, v->SetCameraOverlayRect(r, 0.5, 0.375, 0.25, 0.125) == KALTO_S_OK && Read(e) && e->overlay[0] == 0.5 &&
                e->overlay[1] == 0.375 && e->overlay[2] == 0.25 && e->overlay[3] == 0.125);
  CHECK(5, Await(v->PrepareAsync(r, config, &op), &op) == 1 && Flags(r, e) && e->flags[0] && !e->flags[1]);
  CHECK(6, Await(v->PrepareCameraOverlayAsync(r, &op), &op) == 1 && Flags(r, e) && e->flags[5] && !e->flags[1]);
  CHECK(7, Await(v->StartPreparedAsync(r, &op), &op) == 1 && WaitFor(&g_started.calls, 1) && g_started.value == 1 &&
               Flags(r, e) && e->flags[1] && !e->flags[0]);
  /* Live during the recording: clamped, and non-finite values change nothing. */
  CHECK(15, v->SetMicrophoneVolume(r, 3.0) == KALTO_S_OK && v->SetMicrophoneVolume(r, NAN) == KALTO_S_OK && Read(e) &&
                e->microphoneVolume == 2.0 && e->systemVolume == 0.5);
  CHECK(16, v->SetSystemAudioVolume(r, 0.25) == KALTO_S_OK && v->SetSystemAudioVolume(r, INFINITY) == KALTO_S_OK &&
                Read(e) && e->systemVolume == 0.25 && e->microphoneVolume == 2.0);
  CHECK(3, v->Pause(r) == KALTO_S_OK && Flags(r, e) && e->flags[2]);
  CHECK(4, v->Resume(r) == KALTO_S_OK && Flags(r, e) && !e->flags[2] && e->flags[1]);
  CHECK(20, v->SetCropRegion(r, (KaltoRegionRect){0, 0, 4, 4}) == KALTO_S_OK && Read(e) && e->tinyCrops == 1);
  CHECK(18, v->ToggleCursorFocus(r, 1) == KALTO_S_OK && Flags(r, e) && e->flags[3] && g_focus.value == 1);
  CHECK(17, v->SetFocusZoomSettings(r, (KaltoFocusZoomSettings){0, 0, 0.5, 0.5, 10, 2}) == KALTO_S_OK);
  CHECK(19, v->RecenterCursorFocus(r) == KALTO_S_OK);
  CHECK(22, v->SetBackgroundEffect(r, blur) == KALTO_S_OK);
  CHECK(28, v->SetOverlayPreviewForwardEnabled(r, 0) == KALTO_S_OK); /* bitmaps come from the preview only */
  CHECK(29, Await(v->StartCameraPreviewAsync(r, camera, 640, 480, 30, none, &op), &op) == 1 && Flags(r, e) && e->flags[6]);
  e->deliverCameraFrame(e);
  CHECK(43, WaitFor(&g_bitmap.calls, 1) && g_bitmap.value == 0xFF336699u);
  CHECK(31, v->UpdatePreviewBackgroundEffect(r, blur) == KALTO_S_OK && Read(e) && e->previewInterval > 0);
  CHECK(24, Flags(r, e) && !e->flags[4]); /* no model */
  CHECK(39, WaitFor(&g_progress.calls, 1) && g_progress.value > 0);
  CHECK(12, v->get_DurationSeconds(r, &seconds) == KALTO_S_OK && seconds > 0);
  CHECK(13, v->get_DurationMicroseconds(r, &microseconds) == KALTO_S_OK && microseconds >= (int64_t)(seconds * 1e6) &&
                Read(e) && microseconds <= (int64_t)(e->seconds * 1e6));
  CHECK(23, v->get_PreviewEffectFrameCounter(r, &counter) == KALTO_S_OK && counter == 0);
  CHECK(14, v->get_OutputPath(r, &path) == KALTO_S_OK && path && Same(path, e->path));
  KaltoDeleteString(path);
  /* Stopped reaches the handler added from inside Started too; the preview outlives the recording. */
  CHECK(2, v->Stop(r) == KALTO_S_OK && Flags(r, e) && !e->flags[1] && !e->flags[5] && e->flags[6] &&
               g_stopped.calls == 1 && g_stopped2.calls == 1 && Same(g_stopped.text, e->path));
  CHECK(30, v->StopCameraPreview(r) == KALTO_S_OK && Flags(r, e) && !e->flags[6]);
  CHECK(37, Await(v->StartPreparedAsync(r, &op), &op) == 0 && WaitFor(&g_error.calls, 1) &&
                !KaltoCreateString(kNotPrepared, sizeof kNotPrepared / 2 - 1, &notPrepared) && Same(g_error.text, notPrepared));
  KaltoDeleteString(notPrepared);
  CHECK(8, Await(v->PrepareAsync(r, config, &op), &op) == 1 && v->CancelPrepared(r) == KALTO_S_OK && Flags(r, e) &&
               !e->flags[0]);
  /* Started removed itself: the second recording reaches only the Stopped handlers. */
  CHECK(1, Await(v->StartAsync(r, config, &op), &op) == 1 && Flags(r, e) && e->flags[1] && v->Stop(r) == KALTO_S_OK &&
               g_started.calls == 1 && g_stopped.calls == 2 && g_stopped2.calls == 2);
  CHECK(9, v->get_IsPrepared(r, NULL) == KALTO_E_POINTER && v->StartAsync(r, config, NULL) == KALTO_E_POINTER &&
               v->StartAsync(r, NULL, &op) == KALTO_E_INVALIDARG && !op &&
               v->add_Stopped(r, &g_stopped.iface.s, NULL) == KALTO_E_POINTER && g_stopped.refs == 1);
  /* Removing a token releases its handler at once; ReservedEvent's is left for the recorder's end. */
  CHECK(34, v->remove_Started(r, g_started.token) == KALTO_S_OK && g_started.refs == 0);
  CHECK(36, v->remove_Stopped(r, g_stopped.token) == KALTO_S_OK && v->remove_Stopped(r, g_stopped2.token) == KALTO_S_OK &&
                g_stopped.refs == 0 && g_stopped2.refs == 0);
  CHECK(38, v->remove_ErrorOccurred(r, g_error.token) == KALTO_S_OK && g_error.refs == 0);
  CHECK(40, v->remove_ProgressChanged(r, g_progress.token) == KALTO_S_OK && g_progress.refs == 0);
  CHECK(42, v->remove_CursorFocusChanged(r, g_focus.token) == KALTO_S_OK && g_focus.refs == 0);
  CHECK(44, v->remove_PreviewFrameArrived(r, g_bitmap.token) == KALTO_S_OK && g_bitmap.refs == 0);
  CHECK(46, v->remove_ReservedEvent(r, g_reserved.token) == KALTO_S_OK && g_reserved.refs == 0 &&
                v->add_ReservedEvent(r, &g_reserved.iface.o, &g_reserved.token) == KALTO_S_OK);
  return 0;
}

int KaltoTestHandlersHeld(void) {
  int held = 0;
  for (int i = 0; i < 8; ++i) held += atomic_load(&g_all[i]->refs) != 0;
  return held;
}
