/* The recorder's slot walk in C, checked against the engine through callbacks into its C++ API. */
#ifndef KALTO_TEST_RECORDER_SLOTS_H
#define KALTO_TEST_RECORDER_SLOTS_H
#include "kalto/native.h"
#ifdef __cplusplus
extern "C" {
#endif
typedef struct KaltoTestEngine {
  void* context;
  void (*read)(struct KaltoTestEngine* self); /* fills what follows from the engine */
  void (*deliverCameraFrame)(struct KaltoTestEngine* self); /* 640x480 of 0xFF336699 */
  KaltoBoolean flags[7]; /* the Boolean getters, in slot order */
  double microphoneVolume, systemVolume, seconds, overlay[5]; /* the bubble: x, y, width, height, opacity */
  int32_t previewInterval, tinyCrops;                         /* the preview effect's; 4x4 crops refused */
  KaltoHString path;
} KaltoTestEngine;
/* 0, or the number of the slot whose check failed. Leaves a ReservedEvent handler added. */
int KaltoTestWalkRecorder(KaltoINativeRecorder* recorder, KaltoIRecordingConfig* config, KaltoHString camera,
                          KaltoTestEngine* engine);
int KaltoTestHandlersHeld(void); /* the walk's handlers still referenced by a recorder */
#ifdef __cplusplus
}
#endif
#endif
