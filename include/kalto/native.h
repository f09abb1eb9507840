/* Kalto native recording engine: the in-process component surface for C and any language with a
 * C foreign-function interface.
 *
 * Load libkalto_native.so, get a class's activation factory with DllGetActivationFactory and
 * call ActivateInstance. Objects are reference counted (AddRef/Release) and free-threaded: any
 * thread may call any method. Every method except AddRef and Release returns a KaltoHResult;
 * results come back through the last (pointer) argument.
 *
 * Ownership:
 * - Strings passed in are borrowed for the call. Strings handed out (getters, GetRuntimeClassName)
 *   belong to the caller, who deletes them with KaltoDeleteString. A null KaltoHString is the
 *   empty string.
 * - Interfaces handed out through out-pointers are AddRef'd for the caller. Interfaces passed to
 *   event handlers are borrowed for the call: AddRef to keep one.
 * - GetIids returns an array from malloc; release it with free.
 * - Records are passed and returned by value; KaltoCameraOverlayConfig.DeviceId is borrowed when
 *   passed in.
 * - Handlers given to add_* and put_Completed are AddRef'd and may be invoked on any thread.
 *
 * The order of the members of every vtable is the contract: never reorder them.
 */
#ifndef KALTO_NATIVE_H
#define KALTO_NATIVE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define KALTO_API __attribute__((visibility("default")))
#else
#define KALTO_API
#endif

/* ---- Base types ---------------------------------------------------------------------------- */

typedef int32_t KaltoHResult;
typedef uint8_t KaltoBoolean; /* 0 or 1 */
typedef uint16_t KaltoChar16; /* one UTF-16 code unit */

#define KALTO_SUCCEEDED(hr) ((KaltoHResult)(hr) >= 0)
#define KALTO_FAILED(hr) ((KaltoHResult)(hr) < 0)

#define KALTO_S_OK ((KaltoHResult)0)
#define KALTO_S_FALSE ((KaltoHResult)1)
#define KALTO_E_NOTIMPL ((KaltoHResult)0x80004001U)
#define KALTO_E_NOINTERFACE ((KaltoHResult)0x80004002U)
#define KALTO_E_POINTER ((KaltoHResult)0x80004003U)
#define KALTO_E_FAIL ((KaltoHResult)0x80004005U)
#define KALTO_E_UNEXPECTED ((KaltoHResult)0x8000FFFFU)
#define KALTO_E_OUTOFMEMORY ((KaltoHResult)0x8007000EU)
#define KALTO_E_INVALIDARG ((KaltoHResult)0x80070057U)
#define KALTO_E_BOUNDS ((KaltoHResult)0x8000000BU)
#define KALTO_E_ILLEGAL_STATE_CHANGE ((KaltoHResult)0x8000000DU)
#define KALTO_E_ILLEGAL_METHOD_CALL ((KaltoHResult)0x8000000EU)
#define KALTO_E_ILLEGAL_DELEGATE_ASSIGNMENT ((KaltoHResult)0x80000018U)
#define KALTO_E_CANCELLED ((KaltoHResult)0x800704C7U) /* ERROR_CANCELLED as a result */
#define KALTO_CLASS_E_CLASSNOTAVAILABLE ((KaltoHResult)0x80040111U)

typedef struct KaltoGuid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} KaltoGuid;

typedef struct KaltoHStringOpaque* KaltoHString;

typedef struct KaltoEventRegistrationToken {
  int64_t value;
} KaltoEventRegistrationToken;

typedef int32_t KaltoTrustLevel;
#define KALTO_TRUST_LEVEL_BASE 0
#define KALTO_TRUST_LEVEL_PARTIAL 1
#define KALTO_TRUST_LEVEL_FULL 2

typedef int32_t KaltoAsyncStatus;
#define KALTO_ASYNC_STATUS_STARTED 0
#define KALTO_ASYNC_STATUS_COMPLETED 1
#define KALTO_ASYNC_STATUS_CANCELED 2
#define KALTO_ASYNC_STATUS_ERROR 3

typedef int32_t KaltoBitmapPixelFormat;
#define KALTO_BITMAP_PIXEL_FORMAT_UNKNOWN 0
#define KALTO_BITMAP_PIXEL_FORMAT_RGBA8 30
#define KALTO_BITMAP_PIXEL_FORMAT_BGRA8 87
#define KALTO_BITMAP_PIXEL_FORMAT_NV12 103
#define KALTO_BITMAP_PIXEL_FORMAT_YUY2 107

typedef int32_t KaltoBitmapAlphaMode;
#define KALTO_BITMAP_ALPHA_MODE_PREMULTIPLIED 0
#define KALTO_BITMAP_ALPHA_MODE_STRAIGHT 1
#define KALTO_BITMAP_ALPHA_MODE_IGNORE 2

/* The activatable classes (ASCII; pass them as UTF-16 strings). */
#define KALTO_CLASS_NATIVE_RECORDER "Kalto.Native.NativeRecorder"
#define KALTO_CLASS_RECORDING_CONFIG "Kalto.Native.RecordingConfig"
#define KALTO_CLASS_RECORDING_PROGRESS "Kalto.Native.RecordingProgress"

/* ---- Records, passed by value ---------------------------------------------------------------- */

/* Crop rectangle in pixels of the captured monitor. */
typedef struct KaltoRegionRect {
  int32_t X;
  int32_t Y;
  int32_t Width;
  int32_t Height;
} KaltoRegionRect;

/* Cursor-focus zoom; factors that are not positive fall back to 0.55, 0.4, 5.0 and 2.0. */
typedef struct KaltoFocusZoomSettings {
  KaltoBoolean ReservedFlag1;
  KaltoBoolean ReservedFlag2;
  double ZoomRegionFraction;
  double FollowSmoothing;
  double MoveThreshold;
  double MagnifierScale;
} KaltoFocusZoomSettings;

/* Camera background effect. Mode: 0 none, 1 blur, 2 colour, 3 gradient, 4 image. */
typedef struct KaltoBackgroundEffectConfig {
  int32_t Mode;
  int32_t BlurStrength;
  int32_t ColorPreset;
  int32_t GradientPreset;
  int32_t ImagePreset;
  int32_t PerformanceMode;
} KaltoBackgroundEffectConfig;

/* The camera bubble of a recording; the rectangle is normalised to the output frame. */
typedef struct KaltoCameraOverlayConfig {
  KaltoBoolean Enabled;
  KaltoHString DeviceId;
  double X;
  double Y;
  double Width;
  double Height;
  double ReservedValue;
  double CornerRadius;
  KaltoBoolean Mirror;
  int32_t FillMode;
  double Opacity;
  uint32_t BorderColor; /* 0xRRGGBBAA */
  double BorderWidth;
  int32_t FrameRate;
  KaltoBackgroundEffectConfig BackgroundEffect;
} KaltoCameraOverlayConfig;

/* One plane of a bitmap's bytes (see KaltoISoftwareBitmap). */
typedef struct KaltoBitmapPlaneDescription {
  int32_t StartIndex;
  int32_t Width;
  int32_t Height;
  int32_t Stride;
} KaltoBitmapPlaneDescription;

/* ---- Interface identifiers ------------------------------------------------------------------- */
/* The values are repeated as initialisers so a binding can copy them. The generic instances
 * (IAsyncOperation<Boolean>, its completed handler and the event handlers) follow the platform's
 * parameterised-interface rule from the signature shown; tools/abi/piid.py computes them. */

/* {00000000-0000-0000-c000-000000000046} */
#define KALTO_IID_IUnknown_VALUE {0x00000000U, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}
/* {af86e2e0-b12d-4c6a-9c5a-d7aa65101e90} */
#define KALTO_IID_IInspectable_VALUE {0xAF86E2E0U, 0xB12D, 0x4C6A, {0x9C, 0x5A, 0xD7, 0xAA, 0x65, 0x10, 0x1E, 0x90}}
/* {00000035-0000-0000-c000-000000000046} */
#define KALTO_IID_IActivationFactory_VALUE {0x00000035U, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}
/* {00000036-0000-0000-c000-000000000046} */
#define KALTO_IID_IAsyncInfo_VALUE {0x00000036U, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}
/* {2721e04a-0156-485d-b544-69963941bcf6} */
#define KALTO_IID_INativeRecorder_VALUE {0x2721E04AU, 0x0156, 0x485D, {0xB5, 0x44, 0x69, 0x96, 0x39, 0x41, 0xBC, 0xF6}}
/* {7093e413-7ca9-43fd-8021-98172d879900} */
#define KALTO_IID_INativeRecorderStatics_VALUE {0x7093E413U, 0x7CA9, 0x43FD, {0x80, 0x21, 0x98, 0x17, 0x2D, 0x87, 0x99, 0x00}}
/* {9592a32c-25af-43be-a9a2-3557c781d51d} */
#define KALTO_IID_IRecordingConfig_VALUE {0x9592A32CU, 0x25AF, 0x43BE, {0xA9, 0xA2, 0x35, 0x57, 0xC7, 0x81, 0xD5, 0x1D}}
/* {80dabe00-27ae-42ed-a3c3-695028532f89} */
#define KALTO_IID_IRecordingProgress_VALUE {0x80DABE00U, 0x27AE, 0x42ED, {0xA3, 0xC3, 0x69, 0x50, 0x28, 0x53, 0x2F, 0x89}}
/* {f828e656-83d3-472e-992c-ae50bef9372b} */
#define KALTO_IID_ISoftwareBitmap_VALUE {0xF828E656U, 0x83D3, 0x472E, {0x99, 0x2C, 0xAE, 0x50, 0xBE, 0xF9, 0x37, 0x2B}}
/* {cdb5efb3-5788-509d-9be1-71ccb8a3362a} = pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};b1) */
#define KALTO_IID_IAsyncOperationBoolean_VALUE {0xCDB5EFB3U, 0x5788, 0x509D, {0x9B, 0xE1, 0x71, 0xCC, 0xB8, 0xA3, 0x36, 0x2A}}
/* {c1d3d1a2-ae17-5a5f-b5a2-bdcc8844889a} = pinterface({fcdcf02c-e5d8-4478-915a-4d90b74b83a5};b1) */
#define KALTO_IID_IAsyncOperationCompletedHandlerBoolean_VALUE {0xC1D3D1A2U, 0xAE17, 0x5A5F, {0xB5, 0xA2, 0xBD, 0xCC, 0x88, 0x44, 0x88, 0x9A}}
/* {3761f160-528d-5294-8572-f4df251a84cb} = pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Kalto.Native.NativeRecorder;{2721e04a-0156-485d-b544-69963941bcf6});cinterface(IInspectable)) */
#define KALTO_IID_ITypedEventHandlerNativeRecorderObject_VALUE {0x3761F160U, 0x528D, 0x5294, {0x85, 0x72, 0xF4, 0xDF, 0x25, 0x1A, 0x84, 0xCB}}
/* {55c2c975-94fd-5aa2-98ff-e698d8e904a5} = pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Kalto.Native.NativeRecorder;{2721e04a-0156-485d-b544-69963941bcf6});string) */
#define KALTO_IID_ITypedEventHandlerNativeRecorderString_VALUE {0x55C2C975U, 0x94FD, 0x5AA2, {0x98, 0xFF, 0xE6, 0x98, 0xD8, 0xE9, 0x04, 0xA5}}
/* {53c94128-b0fe-5ce9-9f42-94bd429634fb} = pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Kalto.Native.NativeRecorder;{2721e04a-0156-485d-b544-69963941bcf6});rc(Kalto.Native.RecordingProgress;{80dabe00-27ae-42ed-a3c3-695028532f89})) */
#define KALTO_IID_ITypedEventHandlerNativeRecorderRecordingProgress_VALUE {0x53C94128U, 0xB0FE, 0x5CE9, {0x9F, 0x42, 0x94, 0xBD, 0x42, 0x96, 0x34, 0xFB}}
/* {4e33ee83-a2cd-5d82-ad6b-e960c94c2d6d} = pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Kalto.Native.NativeRecorder;{2721e04a-0156-485d-b544-69963941bcf6});b1) */
#define KALTO_IID_ITypedEventHandlerNativeRecorderBoolean_VALUE {0x4E33EE83U, 0xA2CD, 0x5D82, {0xAD, 0x6B, 0xE9, 0x60, 0xC9, 0x4C, 0x2D, 0x6D}}
/* {582fb42e-4580-53b3-8bdc-262d0aea0721} = pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Kalto.Native.NativeRecorder;{2721e04a-0156-485d-b544-69963941bcf6});rc(Kalto.Native.SoftwareBitmap;{f828e656-83d3-472e-992c-ae50bef9372b})) */
#define KALTO_IID_ITypedEventHandlerNativeRecorderSoftwareBitmap_VALUE {0x582FB42EU, 0x4580, 0x53B3, {0x8B, 0xDC, 0x26, 0x2D, 0x0A, 0xEA, 0x07, 0x21}}

KALTO_API extern const KaltoGuid KALTO_IID_IUnknown;
KALTO_API extern const KaltoGuid KALTO_IID_IInspectable;
KALTO_API extern const KaltoGuid KALTO_IID_IActivationFactory;
KALTO_API extern const KaltoGuid KALTO_IID_IAsyncInfo;
KALTO_API extern const KaltoGuid KALTO_IID_INativeRecorder;
KALTO_API extern const KaltoGuid KALTO_IID_INativeRecorderStatics;
KALTO_API extern const KaltoGuid KALTO_IID_IRecordingConfig;
KALTO_API extern const KaltoGuid KALTO_IID_IRecordingProgress;
KALTO_API extern const KaltoGuid KALTO_IID_ISoftwareBitmap;
KALTO_API extern const KaltoGuid KALTO_IID_IAsyncOperationBoolean;
KALTO_API extern const KaltoGuid KALTO_IID_IAsyncOperationCompletedHandlerBoolean;
KALTO_API extern const KaltoGuid KALTO_IID_ITypedEventHandlerNativeRecorderObject;
KALTO_API extern const KaltoGuid KALTO_IID_ITypedEventHandlerNativeRecorderString;
KALTO_API extern const KaltoGuid KALTO_IID_ITypedEventHandlerNativeRecorderRecordingProgress;
KALTO_API extern const KaltoGuid KALTO_IID_ITypedEventHandlerNativeRecorderBoolean;
KALTO_API extern const KaltoGuid KALTO_IID_ITypedEventHandlerNativeRecorderSoftwareBitmap;

/* ---- Interfaces ------------------------------------------------------------------------------ */

typedef struct KaltoIUnknown KaltoIUnknown;
typedef struct KaltoIInspectable KaltoIInspectable;
typedef struct KaltoIActivationFactory KaltoIActivationFactory;
typedef struct KaltoIAsyncInfo KaltoIAsyncInfo;
typedef struct KaltoIAsyncOperationBoolean KaltoIAsyncOperationBoolean;
typedef struct KaltoIAsyncOperationCompletedHandlerBoolean KaltoIAsyncOperationCompletedHandlerBoolean;
typedef struct KaltoISoftwareBitmap KaltoISoftwareBitmap;
typedef struct KaltoIRecordingConfig KaltoIRecordingConfig;
typedef struct KaltoIRecordingProgress KaltoIRecordingProgress;
typedef struct KaltoINativeRecorder KaltoINativeRecorder;
typedef struct KaltoINativeRecorderStatics KaltoINativeRecorderStatics;
typedef struct KaltoITypedEventHandlerNativeRecorderObject KaltoITypedEventHandlerNativeRecorderObject;
typedef struct KaltoITypedEventHandlerNativeRecorderString KaltoITypedEventHandlerNativeRecorderString;
typedef struct KaltoITypedEventHandlerNativeRecorderRecordingProgress KaltoITypedEventHandlerNativeRecorderRecordingProgress;
typedef struct KaltoITypedEventHandlerNativeRecorderBoolean KaltoITypedEventHandlerNativeRecorderBoolean;
typedef struct KaltoITypedEventHandlerNativeRecorderSoftwareBitmap KaltoITypedEventHandlerNativeRecorderSoftwareBitmap;

/* The first three slots of every interface. */
#define KALTO_IUNKNOWN_METHODS(T)                                                 \
  KaltoHResult (*QueryInterface)(T * This, const KaltoGuid* riid, void** object); \
  uint32_t (*AddRef)(T * This);                                                   \
  uint32_t (*Release)(T * This);

/* The first six slots of every inspectable interface. */
#define KALTO_IINSPECTABLE_METHODS(T)                                      \
  KALTO_IUNKNOWN_METHODS(T)                                                \
  KaltoHResult (*GetIids)(T * This, uint32_t * iidCount, KaltoGuid * *iids); \
  KaltoHResult (*GetRuntimeClassName)(T * This, KaltoHString * className);  \
  KaltoHResult (*GetTrustLevel)(T * This, KaltoTrustLevel * trustLevel);

#define KALTO_INTERFACE(Name)          \
  struct Name {                        \
    const struct Name##Vtbl* lpVtbl; \
  }

typedef struct KaltoIUnknownVtbl {
  KALTO_IUNKNOWN_METHODS(KaltoIUnknown)
} KaltoIUnknownVtbl;
KALTO_INTERFACE(KaltoIUnknown);

typedef struct KaltoIInspectableVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoIInspectable)
} KaltoIInspectableVtbl;
KALTO_INTERFACE(KaltoIInspectable);

typedef struct KaltoIActivationFactoryVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoIActivationFactory)
  KaltoHResult (*ActivateInstance)(KaltoIActivationFactory* This, KaltoIInspectable** instance);
} KaltoIActivationFactoryVtbl;
KALTO_INTERFACE(KaltoIActivationFactory);

/* Every asynchronous operation also answers QueryInterface for IAsyncInfo. */
typedef struct KaltoIAsyncInfoVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoIAsyncInfo)
  KaltoHResult (*get_Id)(KaltoIAsyncInfo* This, uint32_t* id);
  KaltoHResult (*get_Status)(KaltoIAsyncInfo* This, KaltoAsyncStatus* status);
  KaltoHResult (*get_ErrorCode)(KaltoIAsyncInfo* This, KaltoHResult* errorCode);
  KaltoHResult (*Cancel)(KaltoIAsyncInfo* This);
  KaltoHResult (*Close)(KaltoIAsyncInfo* This);
} KaltoIAsyncInfoVtbl;
KALTO_INTERFACE(KaltoIAsyncInfo);

/* Invoked once, on the thread that finished the operation, or at once inside put_Completed when
 * the operation had already finished. */
typedef struct KaltoIAsyncOperationCompletedHandlerBooleanVtbl {
  KALTO_IUNKNOWN_METHODS(KaltoIAsyncOperationCompletedHandlerBoolean)
  KaltoHResult (*Invoke)(KaltoIAsyncOperationCompletedHandlerBoolean* This, KaltoIAsyncOperationBoolean* asyncInfo,
                         KaltoAsyncStatus status);
} KaltoIAsyncOperationCompletedHandlerBooleanVtbl;
KALTO_INTERFACE(KaltoIAsyncOperationCompletedHandlerBoolean);

/* put_Completed may be called once: a second call fails with KALTO_E_ILLEGAL_DELEGATE_ASSIGNMENT.
 * GetResults fails with KALTO_E_ILLEGAL_METHOD_CALL while the operation runs. */
typedef struct KaltoIAsyncOperationBooleanVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoIAsyncOperationBoolean)
  KaltoHResult (*put_Completed)(KaltoIAsyncOperationBoolean* This, KaltoIAsyncOperationCompletedHandlerBoolean* handler);
  KaltoHResult (*get_Completed)(KaltoIAsyncOperationBoolean* This, KaltoIAsyncOperationCompletedHandlerBoolean** handler);
  KaltoHResult (*GetResults)(KaltoIAsyncOperationBoolean* This, KaltoBoolean* results);
} KaltoIAsyncOperationBooleanVtbl;
KALTO_INTERFACE(KaltoIAsyncOperationBoolean);

/* A picture of the camera preview. CopyToBuffer copies the whole buffer (get_Capacity bytes), laid
 * out as the plane descriptions say. */
typedef struct KaltoISoftwareBitmapVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoISoftwareBitmap)
  KaltoHResult (*get_PixelWidth)(KaltoISoftwareBitmap* This, int32_t* width);
  KaltoHResult (*get_PixelHeight)(KaltoISoftwareBitmap* This, int32_t* height);
  KaltoHResult (*get_BitmapPixelFormat)(KaltoISoftwareBitmap* This, KaltoBitmapPixelFormat* format);
  KaltoHResult (*get_BitmapAlphaMode)(KaltoISoftwareBitmap* This, KaltoBitmapAlphaMode* mode);
  KaltoHResult (*get_PlaneCount)(KaltoISoftwareBitmap* This, int32_t* count);
  KaltoHResult (*GetPlaneDescription)(KaltoISoftwareBitmap* This, int32_t index, KaltoBitmapPlaneDescription* plane);
  KaltoHResult (*get_Capacity)(KaltoISoftwareBitmap* This, uint32_t* bytes);
  KaltoHResult (*CopyToBuffer)(KaltoISoftwareBitmap* This, uint8_t* buffer, uint32_t capacity);
} KaltoISoftwareBitmapVtbl;
KALTO_INTERFACE(KaltoISoftwareBitmap);

/* The recording configuration: the getter then the setter of each property. Setters store the value
 * unchanged and never fail. */
typedef struct KaltoIRecordingConfigVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoIRecordingConfig)
  /* 1, 2: OutputPath */
  KaltoHResult (*get_OutputPath)(KaltoIRecordingConfig* This, KaltoHString* value);
  KaltoHResult (*put_OutputPath)(KaltoIRecordingConfig* This, KaltoHString value);
  /* 3, 4: CaptureMode */
  KaltoHResult (*get_CaptureMode)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_CaptureMode)(KaltoIRecordingConfig* This, int32_t value);
  /* 5, 6: MonitorHandle */
  KaltoHResult (*get_MonitorHandle)(KaltoIRecordingConfig* This, int64_t* value);
  KaltoHResult (*put_MonitorHandle)(KaltoIRecordingConfig* This, int64_t value);
  /* 7, 8: WindowHandle */
  KaltoHResult (*get_WindowHandle)(KaltoIRecordingConfig* This, int64_t* value);
  KaltoHResult (*put_WindowHandle)(KaltoIRecordingConfig* This, int64_t value);
  /* 9, 10: CropRegion */
  KaltoHResult (*get_CropRegion)(KaltoIRecordingConfig* This, KaltoRegionRect* value);
  KaltoHResult (*put_CropRegion)(KaltoIRecordingConfig* This, KaltoRegionRect value);
  /* 11, 12: OutputWidth */
  KaltoHResult (*get_OutputWidth)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_OutputWidth)(KaltoIRecordingConfig* This, int32_t value);
  /* 13, 14: OutputHeight */
  KaltoHResult (*get_OutputHeight)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_OutputHeight)(KaltoIRecordingConfig* This, int32_t value);
  /* 15, 16: FrameRate */
  KaltoHResult (*get_FrameRate)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_FrameRate)(KaltoIRecordingConfig* This, int32_t value);
  /* 17, 18: VideoBitrate */
  KaltoHResult (*get_VideoBitrate)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_VideoBitrate)(KaltoIRecordingConfig* This, int32_t value);
  /* 19, 20: CaptureCursor */
  KaltoHResult (*get_CaptureCursor)(KaltoIRecordingConfig* This, KaltoBoolean* value);
  KaltoHResult (*put_CaptureCursor)(KaltoIRecordingConfig* This, KaltoBoolean value);
  /* 21, 22: VideoProfile */
  KaltoHResult (*get_VideoProfile)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_VideoProfile)(KaltoIRecordingConfig* This, int32_t value);
  /* 23, 24: QualityVsSpeed */
  KaltoHResult (*get_QualityVsSpeed)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_QualityVsSpeed)(KaltoIRecordingConfig* This, int32_t value);
  /* 25, 26: UseCabac */
  KaltoHResult (*get_UseCabac)(KaltoIRecordingConfig* This, KaltoBoolean* value);
  KaltoHResult (*put_UseCabac)(KaltoIRecordingConfig* This, KaltoBoolean value);
  /* 27, 28: BFrameCount */
  KaltoHResult (*get_BFrameCount)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_BFrameCount)(KaltoIRecordingConfig* This, int32_t value);
  /* 29, 30: KeyframeIntervalSeconds */
  KaltoHResult (*get_KeyframeIntervalSeconds)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_KeyframeIntervalSeconds)(KaltoIRecordingConfig* This, int32_t value);
  /* 31, 32: AudioSampleRate */
  KaltoHResult (*get_AudioSampleRate)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_AudioSampleRate)(KaltoIRecordingConfig* This, int32_t value);
  /* 33, 34: AudioChannels */
  KaltoHResult (*get_AudioChannels)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_AudioChannels)(KaltoIRecordingConfig* This, int32_t value);
  /* 35, 36: CaptureMicrophone */
  KaltoHResult (*get_CaptureMicrophone)(KaltoIRecordingConfig* This, KaltoBoolean* value);
  KaltoHResult (*put_CaptureMicrophone)(KaltoIRecordingConfig* This, KaltoBoolean value);
  /* 37, 38: CaptureSystemAudio */
  KaltoHResult (*get_CaptureSystemAudio)(KaltoIRecordingConfig* This, KaltoBoolean* value);
  KaltoHResult (*put_CaptureSystemAudio)(KaltoIRecordingConfig* This, KaltoBoolean value);
  /* 39, 40: CaptureWindowProcessAudioOnly */
  KaltoHResult (*get_CaptureWindowProcessAudioOnly)(KaltoIRecordingConfig* This, KaltoBoolean* value);
  KaltoHResult (*put_CaptureWindowProcessAudioOnly)(KaltoIRecordingConfig* This, KaltoBoolean value);
  /* 41, 42: MicrophoneDeviceId */
  KaltoHResult (*get_MicrophoneDeviceId)(KaltoIRecordingConfig* This, KaltoHString* value);
  KaltoHResult (*put_MicrophoneDeviceId)(KaltoIRecordingConfig* This, KaltoHString value);
  /* 43, 44: MicrophoneVolume */
  KaltoHResult (*get_MicrophoneVolume)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_MicrophoneVolume)(KaltoIRecordingConfig* This, double value);
  /* 45, 46: SystemAudioVolume */
  KaltoHResult (*get_SystemAudioVolume)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_SystemAudioVolume)(KaltoIRecordingConfig* This, double value);
  /* 47, 48: NoiseSuppressionEnabled */
  KaltoHResult (*get_NoiseSuppressionEnabled)(KaltoIRecordingConfig* This, KaltoBoolean* value);
  KaltoHResult (*put_NoiseSuppressionEnabled)(KaltoIRecordingConfig* This, KaltoBoolean value);
  /* 49, 50: MicrophoneMode */
  KaltoHResult (*get_MicrophoneMode)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_MicrophoneMode)(KaltoIRecordingConfig* This, int32_t value);
  /* 51, 52: NoiseSuppressionLevel */
  KaltoHResult (*get_NoiseSuppressionLevel)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_NoiseSuppressionLevel)(KaltoIRecordingConfig* This, int32_t value);
  /* 53, 54: DuckingEnabled */
  KaltoHResult (*get_DuckingEnabled)(KaltoIRecordingConfig* This, KaltoBoolean* value);
  KaltoHResult (*put_DuckingEnabled)(KaltoIRecordingConfig* This, KaltoBoolean value);
  /* 55, 56: DuckingLevelDb */
  KaltoHResult (*get_DuckingLevelDb)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_DuckingLevelDb)(KaltoIRecordingConfig* This, double value);
  /* 57, 58: AudioBitrate */
  KaltoHResult (*get_AudioBitrate)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_AudioBitrate)(KaltoIRecordingConfig* This, int32_t value);
  /* 59, 60: AgcMinGain */
  KaltoHResult (*get_AgcMinGain)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_AgcMinGain)(KaltoIRecordingConfig* This, double value);
  /* 61, 62: AgcMaxGain */
  KaltoHResult (*get_AgcMaxGain)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_AgcMaxGain)(KaltoIRecordingConfig* This, double value);
  /* 63, 64: AgcTargetLevel */
  KaltoHResult (*get_AgcTargetLevel)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_AgcTargetLevel)(KaltoIRecordingConfig* This, double value);
  /* 65, 66: VoiceProcessingGain */
  KaltoHResult (*get_VoiceProcessingGain)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_VoiceProcessingGain)(KaltoIRecordingConfig* This, double value);
  /* 67, 68: NoiseSuppressionGain */
  KaltoHResult (*get_NoiseSuppressionGain)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_NoiseSuppressionGain)(KaltoIRecordingConfig* This, double value);
  /* 69, 70: ReservedDouble1 */
  KaltoHResult (*get_ReservedDouble1)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_ReservedDouble1)(KaltoIRecordingConfig* This, double value);
  /* 71, 72: ReservedDouble2 */
  KaltoHResult (*get_ReservedDouble2)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_ReservedDouble2)(KaltoIRecordingConfig* This, double value);
  /* 73, 74: ReservedDouble3 */
  KaltoHResult (*get_ReservedDouble3)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_ReservedDouble3)(KaltoIRecordingConfig* This, double value);
  /* 75, 76: GainSmoothing */
  KaltoHResult (*get_GainSmoothing)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_GainSmoothing)(KaltoIRecordingConfig* This, double value);
  /* 77, 78: LimiterThreshold */
  KaltoHResult (*get_LimiterThreshold)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_LimiterThreshold)(KaltoIRecordingConfig* This, double value);
  /* 79, 80: LimiterKnee */
  KaltoHResult (*get_LimiterKnee)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_LimiterKnee)(KaltoIRecordingConfig* This, double value);
  /* 81, 82: LimiterRatio */
  KaltoHResult (*get_LimiterRatio)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_LimiterRatio)(KaltoIRecordingConfig* This, double value);
  /* 83, 84: ReservedDouble4 */
  KaltoHResult (*get_ReservedDouble4)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_ReservedDouble4)(KaltoIRecordingConfig* This, double value);
  /* 85, 86: ReservedInt1 */
  KaltoHResult (*get_ReservedInt1)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt1)(KaltoIRecordingConfig* This, int32_t value);
  /* 87, 88: ReservedInt2 */
  KaltoHResult (*get_ReservedInt2)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt2)(KaltoIRecordingConfig* This, int32_t value);
  /* 89, 90: ReservedDouble5 */
  KaltoHResult (*get_ReservedDouble5)(KaltoIRecordingConfig* This, double* value);
  KaltoHResult (*put_ReservedDouble5)(KaltoIRecordingConfig* This, double value);
  /* 91, 92: ReservedInt3 */
  KaltoHResult (*get_ReservedInt3)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt3)(KaltoIRecordingConfig* This, int32_t value);
  /* 93, 94: ReservedInt4 */
  KaltoHResult (*get_ReservedInt4)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt4)(KaltoIRecordingConfig* This, int32_t value);
  /* 95, 96: ReservedInt5 */
  KaltoHResult (*get_ReservedInt5)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt5)(KaltoIRecordingConfig* This, int32_t value);
  /* 97, 98: CameraSyncDelayMs */
  KaltoHResult (*get_CameraSyncDelayMs)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_CameraSyncDelayMs)(KaltoIRecordingConfig* This, int32_t value);
  /* 99, 100: ReservedInt6 */
  KaltoHResult (*get_ReservedInt6)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt6)(KaltoIRecordingConfig* This, int32_t value);
  /* 101, 102: ReservedInt7 */
  KaltoHResult (*get_ReservedInt7)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt7)(KaltoIRecordingConfig* This, int32_t value);
  /* 103, 104: ReservedInt8 */
  KaltoHResult (*get_ReservedInt8)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt8)(KaltoIRecordingConfig* This, int32_t value);
  /* 105, 106: ReservedInt9 */
  KaltoHResult (*get_ReservedInt9)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt9)(KaltoIRecordingConfig* This, int32_t value);
  /* 107, 108: ReservedInt10 */
  KaltoHResult (*get_ReservedInt10)(KaltoIRecordingConfig* This, int32_t* value);
  KaltoHResult (*put_ReservedInt10)(KaltoIRecordingConfig* This, int32_t value);
  /* 109, 110: FocusZoom */
  KaltoHResult (*get_FocusZoom)(KaltoIRecordingConfig* This, KaltoFocusZoomSettings* value);
  KaltoHResult (*put_FocusZoom)(KaltoIRecordingConfig* This, KaltoFocusZoomSettings value);
  /* 111, 112: CameraBackgroundEffect */
  KaltoHResult (*get_CameraBackgroundEffect)(KaltoIRecordingConfig* This, KaltoBackgroundEffectConfig* value);
  KaltoHResult (*put_CameraBackgroundEffect)(KaltoIRecordingConfig* This, KaltoBackgroundEffectConfig value);
} KaltoIRecordingConfigVtbl;
KALTO_INTERFACE(KaltoIRecordingConfig);

/* One progress report, immutable. */
typedef struct KaltoIRecordingProgressVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoIRecordingProgress)
  KaltoHResult (*get_DurationSeconds)(KaltoIRecordingProgress* This, double* value);
  KaltoHResult (*get_DurationMicroseconds)(KaltoIRecordingProgress* This, int64_t* value);
  KaltoHResult (*get_AverageFrameRate)(KaltoIRecordingProgress* This, double* value);
  KaltoHResult (*get_DroppedFrames)(KaltoIRecordingProgress* This, int32_t* value);
} KaltoIRecordingProgressVtbl;
KALTO_INTERFACE(KaltoIRecordingProgress);

/* Event handlers: Invoke(sender, argument), both borrowed for the call. ProgressChanged,
 * CursorFocusChanged and PreviewFrameArrived are raised on background threads. */
typedef struct KaltoITypedEventHandlerNativeRecorderObjectVtbl {
  KALTO_IUNKNOWN_METHODS(KaltoITypedEventHandlerNativeRecorderObject)
  KaltoHResult (*Invoke)(KaltoITypedEventHandlerNativeRecorderObject* This, KaltoINativeRecorder* sender,
                         KaltoIInspectable* args);
} KaltoITypedEventHandlerNativeRecorderObjectVtbl;
KALTO_INTERFACE(KaltoITypedEventHandlerNativeRecorderObject);

typedef struct KaltoITypedEventHandlerNativeRecorderStringVtbl {
  KALTO_IUNKNOWN_METHODS(KaltoITypedEventHandlerNativeRecorderString)
  KaltoHResult (*Invoke)(KaltoITypedEventHandlerNativeRecorderString* This, KaltoINativeRecorder* sender,
                         KaltoHString args);
} KaltoITypedEventHandlerNativeRecorderStringVtbl;
KALTO_INTERFACE(KaltoITypedEventHandlerNativeRecorderString);

typedef struct KaltoITypedEventHandlerNativeRecorderRecordingProgressVtbl {
  KALTO_IUNKNOWN_METHODS(KaltoITypedEventHandlerNativeRecorderRecordingProgress)
  KaltoHResult (*Invoke)(KaltoITypedEventHandlerNativeRecorderRecordingProgress* This, KaltoINativeRecorder* sender,
                         KaltoIRecordingProgress* args);
} KaltoITypedEventHandlerNativeRecorderRecordingProgressVtbl;
KALTO_INTERFACE(KaltoITypedEventHandlerNativeRecorderRecordingProgress);

typedef struct KaltoITypedEventHandlerNativeRecorderBooleanVtbl {
  KALTO_IUNKNOWN_METHODS(KaltoITypedEventHandlerNativeRecorderBoolean)
  KaltoHResult (*Invoke)(KaltoITypedEventHandlerNativeRecorderBoolean* This, KaltoINativeRecorder* sender,
                         KaltoBoolean args);
} KaltoITypedEventHandlerNativeRecorderBooleanVtbl;
KALTO_INTERFACE(KaltoITypedEventHandlerNativeRecorderBoolean);

typedef struct KaltoITypedEventHandlerNativeRecorderSoftwareBitmapVtbl {
  KALTO_IUNKNOWN_METHODS(KaltoITypedEventHandlerNativeRecorderSoftwareBitmap)
  KaltoHResult (*Invoke)(KaltoITypedEventHandlerNativeRecorderSoftwareBitmap* This, KaltoINativeRecorder* sender,
                         KaltoISoftwareBitmap* args);
} KaltoITypedEventHandlerNativeRecorderSoftwareBitmapVtbl;
KALTO_INTERFACE(KaltoITypedEventHandlerNativeRecorderSoftwareBitmap);

/* The recorder. Asynchronous operations complete with 1 on success and 0 on a handled failure. */
typedef struct KaltoINativeRecorderVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoINativeRecorder)
  /* 1 */ KaltoHResult (*StartAsync)(KaltoINativeRecorder* This, KaltoIRecordingConfig* config,
                                     KaltoIAsyncOperationBoolean** operation);
  /* 2 */ KaltoHResult (*Stop)(KaltoINativeRecorder* This);
  /* 3 */ KaltoHResult (*Pause)(KaltoINativeRecorder* This);
  /* 4 */ KaltoHResult (*Resume)(KaltoINativeRecorder* This);
  /* 5 */ KaltoHResult (*PrepareAsync)(KaltoINativeRecorder* This, KaltoIRecordingConfig* config,
                                       KaltoIAsyncOperationBoolean** operation);
  /* 6 */ KaltoHResult (*PrepareCameraOverlayAsync)(KaltoINativeRecorder* This, KaltoIAsyncOperationBoolean** operation);
  /* 7 */ KaltoHResult (*StartPreparedAsync)(KaltoINativeRecorder* This, KaltoIAsyncOperationBoolean** operation);
  /* 8 */ KaltoHResult (*CancelPrepared)(KaltoINativeRecorder* This);
  /* 9 */ KaltoHResult (*get_IsPrepared)(KaltoINativeRecorder* This, KaltoBoolean* value);
  /* 10 */ KaltoHResult (*get_IsRecording)(KaltoINativeRecorder* This, KaltoBoolean* value);
  /* 11 */ KaltoHResult (*get_IsPaused)(KaltoINativeRecorder* This, KaltoBoolean* value);
  /* 12 */ KaltoHResult (*get_DurationSeconds)(KaltoINativeRecorder* This, double* value);
  /* 13 */ KaltoHResult (*get_DurationMicroseconds)(KaltoINativeRecorder* This, int64_t* value);
  /* 14 */ KaltoHResult (*get_OutputPath)(KaltoINativeRecorder* This, KaltoHString* value);
  /* 15 */ KaltoHResult (*SetMicrophoneVolume)(KaltoINativeRecorder* This, double volume);
  /* 16 */ KaltoHResult (*SetSystemAudioVolume)(KaltoINativeRecorder* This, double volume);
  /* 17 */ KaltoHResult (*SetFocusZoomSettings)(KaltoINativeRecorder* This, KaltoFocusZoomSettings settings);
  /* 18 */ KaltoHResult (*ToggleCursorFocus)(KaltoINativeRecorder* This, KaltoBoolean active);
  /* 19 */ KaltoHResult (*RecenterCursorFocus)(KaltoINativeRecorder* This);
  /* 20 */ KaltoHResult (*SetCropRegion)(KaltoINativeRecorder* This, KaltoRegionRect region);
  /* 21 */ KaltoHResult (*get_IsCursorFocusActive)(KaltoINativeRecorder* This, KaltoBoolean* value);
  /* 22 */ KaltoHResult (*SetBackgroundEffect)(KaltoINativeRecorder* This, KaltoBackgroundEffectConfig config);
  /* 23 */ KaltoHResult (*get_PreviewEffectFrameCounter)(KaltoINativeRecorder* This, int64_t* value);
  /* 24 */ KaltoHResult (*get_IsMLModelAvailable)(KaltoINativeRecorder* This, KaltoBoolean* value);
  /* 25 */ KaltoHResult (*SetCameraOverlayConfig)(KaltoINativeRecorder* This, KaltoCameraOverlayConfig config);
  /* 26 */ KaltoHResult (*SetCameraOverlayRect)(KaltoINativeRecorder* This, double x, double y, double width,
                                                double height);
  /* 27 */ KaltoHResult (*get_IsCameraOverlayActive)(KaltoINativeRecorder* This, KaltoBoolean* value);
  /* 28 */ KaltoHResult (*SetOverlayPreviewForwardEnabled)(KaltoINativeRecorder* This, KaltoBoolean enabled);
  /* 29 */ KaltoHResult (*StartCameraPreviewAsync)(KaltoINativeRecorder* This, KaltoHString deviceId, int32_t width,
                                                   int32_t height, int32_t frameRate,
                                                   KaltoBackgroundEffectConfig effect,
                                                   KaltoIAsyncOperationBoolean** operation);
  /* 30 */ KaltoHResult (*StopCameraPreview)(KaltoINativeRecorder* This);
  /* 31 */ KaltoHResult (*UpdatePreviewBackgroundEffect)(KaltoINativeRecorder* This, KaltoBackgroundEffectConfig effect);
  /* 32 */ KaltoHResult (*get_IsCameraPreviewActive)(KaltoINativeRecorder* This, KaltoBoolean* value);
  /* 33 */ KaltoHResult (*add_Started)(KaltoINativeRecorder* This, KaltoITypedEventHandlerNativeRecorderObject* handler,
                                       KaltoEventRegistrationToken* token);
  /* 34 */ KaltoHResult (*remove_Started)(KaltoINativeRecorder* This, KaltoEventRegistrationToken token);
  /* 35 */ KaltoHResult (*add_Stopped)(KaltoINativeRecorder* This, KaltoITypedEventHandlerNativeRecorderString* handler,
                                       KaltoEventRegistrationToken* token);
  /* 36 */ KaltoHResult (*remove_Stopped)(KaltoINativeRecorder* This, KaltoEventRegistrationToken token);
  /* 37 */ KaltoHResult (*add_ErrorOccurred)(KaltoINativeRecorder* This,
                                             KaltoITypedEventHandlerNativeRecorderString* handler,
                                             KaltoEventRegistrationToken* token);
  /* 38 */ KaltoHResult (*remove_ErrorOccurred)(KaltoINativeRecorder* This, KaltoEventRegistrationToken token);
  /* 39 */ KaltoHResult (*add_ProgressChanged)(KaltoINativeRecorder* This,
                                               KaltoITypedEventHandlerNativeRecorderRecordingProgress* handler,
                                               KaltoEventRegistrationToken* token);
  /* 40 */ KaltoHResult (*remove_ProgressChanged)(KaltoINativeRecorder* This, KaltoEventRegistrationToken token);
  /* 41 */ KaltoHResult (*add_CursorFocusChanged)(KaltoINativeRecorder* This,
                                                  KaltoITypedEventHandlerNativeRecorderBoolean* handler,
                                                  KaltoEventRegistrationToken* token);
  /* 42 */ KaltoHResult (*remove_CursorFocusChanged)(KaltoINativeRecorder* This, KaltoEventRegistrationToken token);
  /* 43 */ KaltoHResult (*add_PreviewFrameArrived)(KaltoINativeRecorder* This,
                                                   KaltoITypedEventHandlerNativeRecorderSoftwareBitmap* handler,
                                                   KaltoEventRegistrationToken* token);
  /* 44 */ KaltoHResult (*remove_PreviewFrameArrived)(KaltoINativeRecorder* This, KaltoEventRegistrationToken token);
  /* 45 */ KaltoHResult (*add_ReservedEvent)(KaltoINativeRecorder* This,
                                             KaltoITypedEventHandlerNativeRecorderObject* handler,
                                             KaltoEventRegistrationToken* token);
  /* 46 */ KaltoHResult (*remove_ReservedEvent)(KaltoINativeRecorder* This, KaltoEventRegistrationToken token);
} KaltoINativeRecorderVtbl;
KALTO_INTERFACE(KaltoINativeRecorder);

/* The recorder class's statics: QueryInterface its activation factory for this interface. */
typedef struct KaltoINativeRecorderStaticsVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoINativeRecorderStatics)
  KaltoHResult (*PreWarmEncoder)(KaltoINativeRecorderStatics* This);
  KaltoHResult (*InitializeMediaFoundation)(KaltoINativeRecorderStatics* This);
  KaltoHResult (*PreWarmMLModel)(KaltoINativeRecorderStatics* This);
  KaltoHResult (*IsHardwareEncoderAvailable)(KaltoINativeRecorderStatics* This, KaltoBoolean* available);
} KaltoINativeRecorderStaticsVtbl;
KALTO_INTERFACE(KaltoINativeRecorderStatics);

/* ---- Host extension (ours) ------------------------------------------------------------------- */
/* What a host application needs beyond the recorder's published slots: the Warning event, live
 * audio levels, progress on demand, the bubble's live effect switch, the preview effect's state,
 * file cameras and the library's diagnostic output. QueryInterface a recorder for it. */

/* {8682cf92-7f8a-46d2-8f37-908522f42b88} */
#define KALTO_IID_INativeRecorderHost_VALUE {0x8682CF92U, 0x7F8A, 0x46D2, {0x8F, 0x37, 0x90, 0x85, 0x22, 0xF4, 0x2B, 0x88}}
KALTO_API extern const KaltoGuid KALTO_IID_INativeRecorderHost;

/* RMS levels (0 to 1) of the last mixed chunk of each source; Active is 0 without an audio capture. */
typedef struct KaltoAudioLevels {
  KaltoBoolean Active;
  float Microphone;
  float System;
} KaltoAudioLevels;

/* The preview effect's segmentation interval and load tier (0 without an effect). */
typedef struct KaltoPreviewEffectState {
  int32_t Interval;
  int32_t Tier;
} KaltoPreviewEffectState;

typedef struct KaltoINativeRecorderHost KaltoINativeRecorderHost;
typedef struct KaltoINativeRecorderHostVtbl {
  KALTO_IINSPECTABLE_METHODS(KaltoINativeRecorderHost)
  /* 1, 2: something the user should know that does not end the recording (raised on the
   * recorder's own threads). */
  KaltoHResult (*add_Warning)(KaltoINativeRecorderHost* This, KaltoITypedEventHandlerNativeRecorderString* handler,
                              KaltoEventRegistrationToken* token);
  KaltoHResult (*remove_Warning)(KaltoINativeRecorderHost* This, KaltoEventRegistrationToken token);
  /* 3 */ KaltoHResult (*GetAudioLevels)(KaltoINativeRecorderHost* This, KaltoAudioLevels* levels);
  /* 4: what the next ProgressChanged would say, now. */
  KaltoHResult (*GetCurrentProgress)(KaltoINativeRecorderHost* This, KaltoIRecordingProgress** progress);
  /* 5: video frames the encoder took since the recording started. */
  KaltoHResult (*get_FramesWritten)(KaltoINativeRecorderHost* This, int64_t* frames);
  /* 6: switches the running bubble's background effect at once (stored for the next one too). */
  KaltoHResult (*UpdateCameraOverlayEffect)(KaltoINativeRecorderHost* This, KaltoBackgroundEffectConfig effect);
  /* 7 */ KaltoHResult (*GetPreviewEffectState)(KaltoINativeRecorderHost* This, KaltoPreviewEffectState* state);
  /* 8: makes a "file:PATH" camera known to the library's cameras; 0 when the id is not of that
   * form or the file cannot be read. */
  KaltoHResult (*AddFileCamera)(KaltoINativeRecorderHost* This, KaltoHString deviceId, KaltoBoolean* added);
  /* 9: the library's diagnostic lines on stderr (1, the default) or dropped (0), process-wide. */
  KaltoHResult (*SetDiagnosticOutput)(KaltoINativeRecorderHost* This, KaltoBoolean enabled);
} KaltoINativeRecorderHostVtbl;
KALTO_INTERFACE(KaltoINativeRecorderHost);

/* ---- Entry points ---------------------------------------------------------------------------- */

/* The factory of the class named exactly (case-sensitive) `activatableClassId`; any other name gives
 * KALTO_CLASS_E_CLASSNOTAVAILABLE and a null factory. */
KALTO_API KaltoHResult DllGetActivationFactory(KaltoHString activatableClassId, KaltoIActivationFactory** factory);
/* KALTO_S_FALSE while any object of the library lives; otherwise releases the cached factories and
 * answers KALTO_S_OK. */
KALTO_API KaltoHResult DllCanUnloadNow(void);

/* Counted UTF-16 strings; embedded NULs are kept. Length 0 gives the null (empty) string. */
KALTO_API KaltoHResult KaltoCreateString(const KaltoChar16* sourceString, uint32_t length, KaltoHString* string);
KALTO_API KaltoHResult KaltoDeleteString(KaltoHString string);
KALTO_API KaltoHResult KaltoDuplicateString(KaltoHString string, KaltoHString* newString);
/* The code units, NUL-terminated, valid while the string lives; "" for the null string. */
KALTO_API const KaltoChar16* KaltoGetStringRawBuffer(KaltoHString string, uint32_t* length);

#ifdef __cplusplus
}
#endif

#endif /* KALTO_NATIVE_H */
