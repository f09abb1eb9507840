/* Walks IRecordingConfig and IRecordingProgress slot by slot, compiled as C. */
#include "config_slots.h"

#include <stdio.h>
#include <string.h>

enum Kind { TEXT, I32, I64, RECT, BOOL, DBL, ZOOM, EFFECT };

/* The 56 properties in their published order. */
static const enum Kind kProperties[56] = {
    TEXT, I32,  I64,  I64, RECT, I32, I32, I32, I32, BOOL, /* OutputPath .. CaptureCursor */
    I32,  I32,  BOOL, I32, I32,  I32, I32, BOOL, BOOL, BOOL, /* VideoProfile .. CaptureWindowProcessAudioOnly */
    TEXT, DBL,  DBL,  BOOL, I32, I32, BOOL, DBL, I32, DBL,  /* MicrophoneDeviceId .. AgcMinGain */
    DBL,  DBL,  DBL,  DBL,  DBL, DBL, DBL, DBL, DBL, DBL,   /* AgcMaxGain .. LimiterKnee */
    DBL,  DBL,  I32,  I32,  DBL, I32, I32, I32, I32, I32,   /* LimiterRatio .. ReservedInt6 */
    I32,  I32,  I32,  I32,  ZOOM, EFFECT};                  /* ReservedInt7 .. CameraBackgroundEffect */

typedef void (*Slot)(void);
typedef KaltoHResult (*PutText)(KaltoIRecordingConfig*, KaltoHString);
typedef KaltoHResult (*GetText)(KaltoIRecordingConfig*, KaltoHString*);
typedef KaltoHResult (*PutI32)(KaltoIRecordingConfig*, int32_t);
typedef KaltoHResult (*GetI32)(KaltoIRecordingConfig*, int32_t*);
typedef KaltoHResult (*PutI64)(KaltoIRecordingConfig*, int64_t);
typedef KaltoHResult (*GetI64)(KaltoIRecordingConfig*, int64_t*);
typedef KaltoHResult (*PutBool)(KaltoIRecordingConfig*, KaltoBoolean);
typedef KaltoHResult (*GetBool)(KaltoIRecordingConfig*, KaltoBoolean*);
typedef KaltoHResult (*PutDbl)(KaltoIRecordingConfig*, double);
typedef KaltoHResult (*GetDbl)(KaltoIRecordingConfig*, double*);
typedef KaltoHResult (*PutRect)(KaltoIRecordingConfig*, KaltoRegionRect);
typedef KaltoHResult (*GetRect)(KaltoIRecordingConfig*, KaltoRegionRect*);
typedef KaltoHResult (*PutZoom)(KaltoIRecordingConfig*, KaltoFocusZoomSettings);
typedef KaltoHResult (*GetZoom)(KaltoIRecordingConfig*, KaltoFocusZoomSettings*);
typedef KaltoHResult (*PutEffect)(KaltoIRecordingConfig*, KaltoBackgroundEffectConfig);
typedef KaltoHResult (*GetEffect)(KaltoIRecordingConfig*, KaltoBackgroundEffectConfig*);

/* Slot `index` of a vtable, counted from QueryInterface. */
static Slot SlotAt(const void* vtbl, int index) {
  Slot slot;
  memcpy(&slot, (const char*)vtbl + (size_t)index * sizeof(Slot), sizeof slot);
  return slot;
}
/* After the six inspectable slots, property n's getter, then its setter. */
#define GETTER(config, n) SlotAt((config)->lpVtbl, 6 + 2 * ((n)-1))
#define SETTER(config, n) SlotAt((config)->lpVtbl, 7 + 2 * ((n)-1))

int32_t KaltoTestInt32(int n, int seed) { return n * 1000 + seed; }
int64_t KaltoTestInt64(int n, int seed) { return ((int64_t)n << 33) + seed; }
double KaltoTestDouble(int n, int seed) { return n + seed / 16.0; }
/* Seeds 0-4 tell every pair of Boolean properties apart by one bit of n; 5-9 invert them. */
KaltoBoolean KaltoTestBoolean(int n, int seed) { return (KaltoBoolean)(((n >> (seed % 5)) & 1) ^ (seed >= 5)); }
uint32_t KaltoTestText(int n, int seed, KaltoChar16* units) {
  char ascii[24];
  int length = snprintf(ascii, sizeof ascii, "p%d-s%d-", n, seed);
  for (int i = 0; i < length; ++i) units[i] = (KaltoChar16)ascii[i];
  units[length++] = 0x00E9;             /* e acute */
  units[length++] = 0xD83D;             /* a pair beyond the BMP */
  units[length++] = 0xDE00;
  return (uint32_t)length;
}
KaltoRegionRect KaltoTestRect(int n, int seed) {
  KaltoRegionRect rect = {n, seed, n + 100, seed + 200};
  return rect;
}
KaltoFocusZoomSettings KaltoTestZoom(int n, int seed) {
  KaltoFocusZoomSettings zoom = {(KaltoBoolean)(seed & 1), (KaltoBoolean)!(seed & 1), n + 0.5, seed + 0.25, n + 3.0,
                                 seed + 4.0};
  return zoom;
}
KaltoBackgroundEffectConfig KaltoTestEffect(int n, int seed) {
  KaltoBackgroundEffectConfig effect = {n, seed, n + 1, seed + 2, n + 3, seed + 4};
  return effect;
}

int KaltoTestPutConfig(KaltoIRecordingConfig* config, int seed) {
  for (int n = 1; n <= 56; ++n) {
    KaltoHResult hr = KALTO_E_FAIL;
    Slot slot = SETTER(config, n);
    switch (kProperties[n - 1]) {
      case TEXT: {
        KaltoChar16 units[32];
        KaltoHString text = NULL;
        if (KALTO_FAILED(KaltoCreateString(units, KaltoTestText(n, seed, units), &text))) return n;
        hr = ((PutText)slot)(config, text);
        KaltoDeleteString(text);
        break;
      }
      case I32: hr = ((PutI32)slot)(config, KaltoTestInt32(n, seed)); break;
      case I64: hr = ((PutI64)slot)(config, KaltoTestInt64(n, seed)); break;
      case BOOL: hr = ((PutBool)slot)(config, KaltoTestBoolean(n, seed)); break;
      case DBL: hr = ((PutDbl)slot)(config, KaltoTestDouble(n, seed)); break;
      case RECT: hr = ((PutRect)slot)(config, KaltoTestRect(n, seed)); break;
      case ZOOM: hr = ((PutZoom)slot)(config, KaltoTestZoom(n, seed)); break;
      case EFFECT: hr = ((PutEffect)slot)(config, KaltoTestEffect(n, seed)); break;
    }
    if (hr != KALTO_S_OK) return n;
  }
  return 0;
}

static int SameText(KaltoHString text, int n, int seed) {
  KaltoChar16 expected[32];
  uint32_t expectedLength = KaltoTestText(n, seed, expected);
  uint32_t length = 0;
  const KaltoChar16* units = KaltoGetStringRawBuffer(text, &length);
  return length == expectedLength && memcmp(units, expected, length * sizeof(KaltoChar16)) == 0 && units[length] == 0;
}

int KaltoTestCheckConfig(KaltoIRecordingConfig* config, int seed) {
  for (int n = 1; n <= 56; ++n) {
    Slot slot = GETTER(config, n);
    int same = 0;
    switch (kProperties[n - 1]) {
      case TEXT: {
        KaltoHString text = NULL;
        same = ((GetText)slot)(config, &text) == KALTO_S_OK && SameText(text, n, seed);
        KaltoDeleteString(text);
        break;
      }
      case I32: {
        int32_t v = 0;
        same = ((GetI32)slot)(config, &v) == KALTO_S_OK && v == KaltoTestInt32(n, seed);
        break;
      }
      case I64: {
        int64_t v = 0;
        same = ((GetI64)slot)(config, &v) == KALTO_S_OK && v == KaltoTestInt64(n, seed);
        break;
      }
      case BOOL: {
        KaltoBoolean v = 2;
        same = ((GetBool)slot)(config, &v) == KALTO_S_OK && v == KaltoTestBoolean(n, seed);
        break;
      }
      case DBL: {
        double v = 0;
        same = ((GetDbl)slot)(config, &v) == KALTO_S_OK && v == KaltoTestDouble(n, seed);
        break;
      }
      case RECT: {
        KaltoRegionRect v, e = KaltoTestRect(n, seed);
        same = ((GetRect)slot)(config, &v) == KALTO_S_OK && v.X == e.X && v.Y == e.Y && v.Width == e.Width &&
               v.Height == e.Height;
        break;
      }
      case ZOOM: {
        KaltoFocusZoomSettings v, e = KaltoTestZoom(n, seed);
        same = ((GetZoom)slot)(config, &v) == KALTO_S_OK && v.ReservedFlag1 == e.ReservedFlag1 &&
               v.ReservedFlag2 == e.ReservedFlag2 && v.ZoomRegionFraction == e.ZoomRegionFraction &&
               v.FollowSmoothing == e.FollowSmoothing && v.MoveThreshold == e.MoveThreshold &&
               v.MagnifierScale == e.MagnifierScale;
        break;
      }
      case EFFECT: {
        KaltoBackgroundEffectConfig v, e = KaltoTestEffect(n, seed);
        same = ((GetEffect)slot)(config, &v) == KALTO_S_OK && memcmp(&v, &e, sizeof v) == 0;
        break;
      }
    }
    if (!same) return n;
  }
  return 0;
}

typedef KaltoHResult (*GetProgressDbl)(KaltoIRecordingProgress*, double*);
typedef KaltoHResult (*GetProgressI64)(KaltoIRecordingProgress*, int64_t*);
typedef KaltoHResult (*GetProgressI32)(KaltoIRecordingProgress*, int32_t*);

int KaltoTestCheckProgress(KaltoIRecordingProgress* progress, double seconds, int64_t microseconds, double rate,
                           int32_t dropped) {
  double s = -1, r = -1;
  int64_t us = -1;
  int32_t d = -1;
  if (((GetProgressDbl)SlotAt(progress->lpVtbl, 6))(progress, &s) != KALTO_S_OK || s != seconds) return 1;
  if (((GetProgressI64)SlotAt(progress->lpVtbl, 7))(progress, &us) != KALTO_S_OK || us != microseconds) return 2;
  if (((GetProgressDbl)SlotAt(progress->lpVtbl, 8))(progress, &r) != KALTO_S_OK || r != rate) return 3;
  if (((GetProgressI32)SlotAt(progress->lpVtbl, 9))(progress, &d) != KALTO_S_OK || d != dropped) return 4;
  return 0;
}

int KaltoTestWalkStatics(KaltoINativeRecorderStatics* statics, KaltoTestReadStatics read, void* context) {
  typedef KaltoHResult (*Action)(KaltoINativeRecorderStatics*);
  typedef KaltoHResult (*Answer)(KaltoINativeRecorderStatics*, KaltoBoolean*);
  KaltoTestStaticsState was, now;
  read(context, &was);
  /* 1 PreWarmEncoder: the encoder found, the library not started again. */
  if (((Action)SlotAt(statics->lpVtbl, 6))(statics) != KALTO_S_OK) return 1;
  read(context, &now);
  if (!now.encoderKnown || now.mediaStarts != was.mediaStarts || now.modelLoads != was.modelLoads) return 1;
  /* 2 InitializeMediaFoundation: one more start-up. */
  if (((Action)SlotAt(statics->lpVtbl, 7))(statics) != KALTO_S_OK) return 2;
  read(context, &was);
  if (was.mediaStarts != now.mediaStarts + 1 || was.modelLoads != now.modelLoads) return 2;
  /* 3 PreWarmMLModel: one more model session, nothing started. */
  if (((Action)SlotAt(statics->lpVtbl, 8))(statics) != KALTO_S_OK) return 3;
  read(context, &now);
  if (now.modelLoads != was.modelLoads + 1 || now.mediaStarts != was.mediaStarts) return 3;
  /* 4 IsHardwareEncoderAvailable: the engine's answer. */
  KaltoBoolean hardware = 2;
  if (((Answer)SlotAt(statics->lpVtbl, 9))(statics, &hardware) != KALTO_S_OK || hardware != now.hardware) return 4;
  return 0;
}
