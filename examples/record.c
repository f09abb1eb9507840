/* Records the screen for 5 seconds through the component surface, as an application does: load
 * libkalto_native.so, activate the configuration and the recorder by class name, listen to
 * ProgressChanged, ErrorOccurred and Stopped, start, stop, and wait for the finished file.
 *
 *   kalto-example-record OUTPUT.mp4 MONITOR [LIBRARY]
 *
 * MONITOR is a monitor handle (kalto-record --list-monitors prints them). LIBRARY defaults to
 * libkalto_native.so in this program's folder. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <limits.h>
#include <locale.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <uchar.h>
#include <unistd.h>

#include "kalto/native.h"

static const KaltoGuid kIidUnknown = KALTO_IID_IUnknown_VALUE;
static const KaltoGuid kIidRecordingConfig = KALTO_IID_IRecordingConfig_VALUE;
static const KaltoGuid kIidNativeRecorder = KALTO_IID_INativeRecorder_VALUE;

static KaltoHResult (*GetFactory)(KaltoHString, KaltoIActivationFactory**);
static KaltoHResult (*CreateString)(const KaltoChar16*, uint32_t, KaltoHString*);
static KaltoHResult (*DeleteString)(KaltoHString);
static const KaltoChar16* (*RawBuffer)(KaltoHString, uint32_t*);

/* What the handlers tell the main thread. */
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static int g_started = -1, g_stopped = 0;
static char g_path[4096];

/* UTF-8 (or the locale's encoding) to a new string; NULL for "". */
static KaltoHString Text(const char* s) {
  KaltoChar16 units[4096];
  uint32_t n = 0;
  mbstate_t state;
  memset(&state, 0, sizeof state);
  for (size_t left = strlen(s); left > 0 && n < 4095;) {
    size_t used = mbrtoc16(&units[n], s, left, &state);
    if (used == (size_t)-1 || used == (size_t)-2) break;
    if (used != (size_t)-3) s += used, left -= used; /* -3: the second half of a pair, nothing read */
    ++n;
  }
  KaltoHString text = NULL;
  return CreateString(units, n, &text) == KALTO_S_OK ? text : NULL;
}

static void Print(KaltoHString text, char* out, size_t size) {
  uint32_t length = 0;
  const KaltoChar16* units = RawBuffer(text, &length);
  mbstate_t state;
  memset(&state, 0, sizeof state);
  size_t n = 0;
  for (uint32_t i = 0; i < length && n + MB_LEN_MAX < size; ++i) {
    size_t wrote = c16rtomb(out + n, units[i], &state);
    if (wrote != (size_t)-1) n += wrote;
  }
  out[n] = 0;
}

/* The handlers are static objects: their reference counts need not free anything. */
#define HANDLER_BASICS(I, IID)                                                                        \
  static KaltoHResult I##Query(I* This, const KaltoGuid* iid, void** out) {                           \
    static const KaltoGuid own = IID;                                                                  \
    *out = !memcmp(iid, &kIidUnknown, sizeof *iid) || !memcmp(iid, &own, sizeof *iid) ? This : NULL; \
    return *out ? KALTO_S_OK : KALTO_E_NOINTERFACE;                                                    \
  }                                                                                                    \
  static uint32_t I##AddRef(I* This) { return (void)This, 2; }                                        \
  static uint32_t I##Release(I* This) { return (void)This, 1; }

typedef KaltoITypedEventHandlerNativeRecorderRecordingProgress ProgressHandler;
HANDLER_BASICS(ProgressHandler, KALTO_IID_ITypedEventHandlerNativeRecorderRecordingProgress_VALUE)
static KaltoHResult OnProgress(ProgressHandler* This, KaltoINativeRecorder* sender, KaltoIRecordingProgress* p) {
  double seconds = 0, rate = 0;
  int32_t dropped = 0;
  (void)This, (void)sender;
  p->lpVtbl->get_DurationSeconds(p, &seconds);
  p->lpVtbl->get_AverageFrameRate(p, &rate);
  p->lpVtbl->get_DroppedFrames(p, &dropped);
  printf("%.1f s, %.1f frames/s, %d dropped\n", seconds, rate, (int)dropped);
  fflush(stdout);
  return KALTO_S_OK;
}
static const KaltoITypedEventHandlerNativeRecorderRecordingProgressVtbl kProgressVtbl = {
    ProgressHandlerQuery, ProgressHandlerAddRef, ProgressHandlerRelease, OnProgress};
static ProgressHandler g_onProgress = {&kProgressVtbl};

typedef KaltoITypedEventHandlerNativeRecorderString StringHandler;
HANDLER_BASICS(StringHandler, KALTO_IID_ITypedEventHandlerNativeRecorderString_VALUE)
static StringHandler g_onStopped, g_onError;
static KaltoHResult OnString(StringHandler* This, KaltoINativeRecorder* sender, KaltoHString text) {
  char message[4096];
  (void)sender;
  Print(text, message, sizeof message);
  if (This == &g_onError) {
    fprintf(stderr, "error: %s\n", message);
    return KALTO_S_OK;
  }
  pthread_mutex_lock(&g_mutex);
  snprintf(g_path, sizeof g_path, "%s", message);
  g_stopped = 1;
  pthread_cond_broadcast(&g_changed);
  pthread_mutex_unlock(&g_mutex);
  return KALTO_S_OK;
}
static const KaltoITypedEventHandlerNativeRecorderStringVtbl kStringVtbl = {StringHandlerQuery, StringHandlerAddRef,
                                                                           StringHandlerRelease, OnString};
static StringHandler g_onStopped = {&kStringVtbl}, g_onError = {&kStringVtbl};

typedef KaltoIAsyncOperationCompletedHandlerBoolean CompletedHandler;
HANDLER_BASICS(CompletedHandler, KALTO_IID_IAsyncOperationCompletedHandlerBoolean_VALUE)
static KaltoHResult OnStarted(CompletedHandler* This, KaltoIAsyncOperationBoolean* operation, KaltoAsyncStatus status) {
  KaltoBoolean started = 0;
  (void)This;
  if (status == KALTO_ASYNC_STATUS_COMPLETED) operation->lpVtbl->GetResults(operation, &started);
  pthread_mutex_lock(&g_mutex);
  g_started = started;
  pthread_cond_broadcast(&g_changed);
  pthread_mutex_unlock(&g_mutex);
  return KALTO_S_OK;
}
static const KaltoIAsyncOperationCompletedHandlerBooleanVtbl kCompletedVtbl = {
    CompletedHandlerQuery, CompletedHandlerAddRef, CompletedHandlerRelease, OnStarted};
static CompletedHandler g_onStarted = {&kCompletedVtbl};

/* Waits until *flag leaves `from`, at most `seconds`. */
static int WaitChange(const int* flag, int from, int seconds) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += seconds;
  pthread_mutex_lock(&g_mutex);
  while (*flag == from && pthread_cond_timedwait(&g_changed, &g_mutex, &deadline) == 0) {
  }
  int value = *flag;
  pthread_mutex_unlock(&g_mutex);
  return value;
}

/* A new instance of `className`, asked for the interface `iid`. */
static void* Activate(const char* className, const KaltoGuid* iid) {
  KaltoHString name = Text(className);
  KaltoIActivationFactory* factory = NULL;
  KaltoIInspectable* instance = NULL;
  void* result = NULL;
  if (GetFactory(name, &factory) == KALTO_S_OK) {
    if (factory->lpVtbl->ActivateInstance(factory, &instance) == KALTO_S_OK) {
      instance->lpVtbl->QueryInterface(instance, iid, &result);
      instance->lpVtbl->Release(instance);
    }
    factory->lpVtbl->Release(factory);
  }
  DeleteString(name);
  return result;
}

int main(int argc, char** argv) {
  char library[4096];
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: %s OUTPUT.mp4 MONITOR [LIBRARY]\n", argv[0]);
    return 2;
  }
  setlocale(LC_ALL, "");
  if (argc == 4) {
    snprintf(library, sizeof library, "%s", argv[3]);
  } else {
    ssize_t n = readlink("/proc/self/exe", library, sizeof library - 32);
    while (n > 0 && library[n - 1] != '/') --n;
    strcpy(library + (n > 0 ? n : 0), "libkalto_native.so");
  }
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  *(void**)&GetFactory = dlsym(module, "DllGetActivationFactory");
  *(void**)&CreateString = dlsym(module, "KaltoCreateString");
  *(void**)&DeleteString = dlsym(module, "KaltoDeleteString");
  *(void**)&RawBuffer = dlsym(module, "KaltoGetStringRawBuffer");
  KaltoHResult (*canUnload)(void) = NULL;
  *(void**)&canUnload = dlsym(module, "DllCanUnloadNow");
  KaltoIRecordingConfig* config = Activate(KALTO_CLASS_RECORDING_CONFIG, &kIidRecordingConfig);
  KaltoINativeRecorder* recorder = Activate(KALTO_CLASS_NATIVE_RECORDER, &kIidNativeRecorder);
  if (!config || !recorder) {
    fprintf(stderr, "%s: the classes could not be activated\n", library);
    return 1;
  }

  KaltoHString output = Text(argv[1]);
  config->lpVtbl->put_OutputPath(config, output);
  DeleteString(output);
  config->lpVtbl->put_CaptureMode(config, 0); /* a whole monitor */
  config->lpVtbl->put_MonitorHandle(config, strtoll(argv[2], NULL, 0));
  config->lpVtbl->put_FrameRate(config, 30);
  config->lpVtbl->put_VideoBitrate(config, 8000000);

  KaltoEventRegistrationToken progressToken, stoppedToken, errorToken;
  recorder->lpVtbl->add_ProgressChanged(recorder, &g_onProgress, &progressToken);
  recorder->lpVtbl->add_Stopped(recorder, &g_onStopped, &stoppedToken);
  recorder->lpVtbl->add_ErrorOccurred(recorder, &g_onError, &errorToken);

  KaltoIAsyncOperationBoolean* start = NULL;
  int status = 1;
  if (recorder->lpVtbl->StartAsync(recorder, config, &start) == KALTO_S_OK) {
    start->lpVtbl->put_Completed(start, &g_onStarted);
    start->lpVtbl->Release(start);
  }
  if (WaitChange(&g_started, -1, 30) == 1) {
    printf("recording for 5 s\n");
    struct timespec five = {5, 0};
    nanosleep(&five, NULL);
    recorder->lpVtbl->Stop(recorder); /* returns once the file is finalised */
    if (WaitChange(&g_stopped, 0, 30)) {
      printf("recorded %s\n", g_path);
      status = 0;
    }
  } else {
    fprintf(stderr, "the recording did not start\n");
  }

  recorder->lpVtbl->remove_ProgressChanged(recorder, progressToken);
  recorder->lpVtbl->remove_Stopped(recorder, stoppedToken);
  recorder->lpVtbl->remove_ErrorOccurred(recorder, errorToken);
  recorder->lpVtbl->Release(recorder);
  config->lpVtbl->Release(config);
  if (canUnload() == KALTO_S_OK) dlclose(module);
  return status;
}
