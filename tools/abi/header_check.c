/* The public header compiles as C11; slot counts are checked where a binding would read them. */
#include <stddef.h>

#include "kalto/native.h"

#define SLOTS(vtbl) (sizeof(vtbl) / sizeof(void (*)(void)))

_Static_assert(sizeof(KaltoGuid) == 16, "a GUID is 16 bytes");
_Static_assert(sizeof(KaltoEventRegistrationToken) == 8, "a token is an Int64");
_Static_assert(SLOTS(KaltoIInspectableVtbl) == 6, "IInspectable has 6 slots");
_Static_assert(SLOTS(KaltoINativeRecorderVtbl) == 6 + 46, "INativeRecorder has 46 slots of its own");
_Static_assert(SLOTS(KaltoINativeRecorderStaticsVtbl) == 6 + 4, "INativeRecorderStatics has 4");
_Static_assert(SLOTS(KaltoIRecordingConfigVtbl) == 6 + 112, "IRecordingConfig has 112");
_Static_assert(SLOTS(KaltoIRecordingProgressVtbl) == 6 + 4, "IRecordingProgress has 4");
_Static_assert(offsetof(KaltoIRecordingConfigVtbl, put_CameraBackgroundEffect) / sizeof(void (*)(void)) == 6 + 111,
               "the last property's setter is the last slot");
_Static_assert(offsetof(KaltoINativeRecorderVtbl, add_Started) / sizeof(void (*)(void)) == 6 + 32,
               "add_Started is slot 33");

static const KaltoGuid kOperationIid = KALTO_IID_IAsyncOperationBoolean_VALUE;

const KaltoGuid* KaltoHeaderCheckC(void) { return &kOperationIid; }
