/* The slot walks, written in C against the public header. Slots are called by their position in
 * the vtable, so the published order itself is what is checked. */
#ifndef KALTO_TEST_CONFIG_SLOTS_H
#define KALTO_TEST_CONFIG_SLOTS_H

#include "kalto/native.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Each returns 0, or the number of the first property (slot for progress) that failed. */
int KaltoTestPutConfig(KaltoIRecordingConfig* config, int seed);
int KaltoTestCheckConfig(KaltoIRecordingConfig* config, int seed);
int KaltoTestCheckProgress(KaltoIRecordingProgress* progress, double seconds, int64_t microseconds, double rate,
                           int32_t dropped);

/* What the statics change, read from the engine after each slot. */
typedef struct KaltoTestStaticsState {
  int mediaStarts;   /* the media library's start-ups */
  int encoderKnown;  /* the encoder's name is cached */
  int modelLoads;    /* segmentation sessions made */
  KaltoBoolean hardware;
} KaltoTestStaticsState;
typedef void (*KaltoTestReadStatics)(void* context, KaltoTestStaticsState* state);
/* INativeRecorderStatics' four slots by position: 0, or the slot (1-4) that did another's work. */
int KaltoTestWalkStatics(KaltoINativeRecorderStatics* statics, KaltoTestReadStatics read, void* context);

/* The value property `n` (1-based) holds after a walk with `seed`; distinct between properties. */
int32_t KaltoTestInt32(int n, int seed);
int64_t KaltoTestInt64(int n, int seed);
double KaltoTestDouble(int n, int seed);
KaltoBoolean KaltoTestBoolean(int n, int seed);
/* Writes the text's code units (at most 32) and returns their count. */
uint32_t KaltoTestText(int n, int seed, KaltoChar16* units);
KaltoRegionRect KaltoTestRect(int n, int seed);
KaltoFocusZoomSettings KaltoTestZoom(int n, int seed);
KaltoBackgroundEffectConfig KaltoTestEffect(int n, int seed);

#ifdef __cplusplus
}
#endif

#endif
