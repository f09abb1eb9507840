/* The recorder's slot walk in C, checked against the engine through callbacks into its C++ API. */
#ifndef KALTO_TEST_RECORDER_SLOTS_H
#define KALTO_TEST_RECORDER_SLOTS_H

#include "kalto/native.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KaltoTestEngine {
  void* context;
  void (*read)(void* context, struct KaltoTestEngine* self); /* fills the fields below */
  void (*deliverCameraFrame)(void* context);                 /* 640x480 of 0xFF336699 */
  /* IsPrepared, IsRecording, IsPaused, IsCursorFocusActive, IsMLModelAvailable, IsCameraOverlayActive,
   * IsCameraPreviewActive; then volumes, duration, the bubble (x, y, width, height, opacity), the
   * preview effect's interval, the 4x4 crops the capture refused, and the output path. */
  KaltoBoolean flags[7];
  double microphoneVolume, systemVolume, seconds, overlay[5];
  int32_t previewInterval, tinyCrops;
  KaltoHString path;
} KaltoTestEngine;

/* 0, or the number of the slot whose check failed. Leaves a ReservedEvent handler added. */
int KaltoTestWalkRecorder(KaltoINativeRecorder* recorder, KaltoIRecordingConfig* config, KaltoHString camera,
                          KaltoTestEngine* engine);
/* The walk's handlers still referenced by a recorder. */
int KaltoTestHandlersHeld(void);

#ifdef __cplusplus
}
#endif

#endif
