// The activation surface through the C header: activation, unloading, reference counts and the
// slot walks of the configuration and progress objects.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "config_slots.h"
#include "platform/abi/abi_string.h"
#include "platform/abi/com_object.h"
#include "platform/abi/module_count.h"
#include "recorder/native_recorder.h"
#include "recorder/surface/records.h"
#include "recorder/surface/surface.h"

namespace kalto::surface {
namespace {

using abi::ComPtr;

abi::UniqueHString Name(std::u16string text) { return abi::MakeAbiString(abi::HString(std::move(text))); }

ComPtr<KaltoIActivationFactory> Factory(std::u16string_view name) {
  ComPtr<KaltoIActivationFactory> factory;
  EXPECT_EQ(S_OK, DllGetActivationFactory(Name(std::u16string(name)).get(), factory.Put()));
  return factory;
}

template <typename I>
ComPtr<I> Activate(std::u16string_view name, const KaltoGuid& iid) {
  ComPtr<KaltoIInspectable> instance;
  auto factory = Factory(name);
  EXPECT_EQ(S_OK, factory->lpVtbl->ActivateInstance(factory.Get(), instance.Put()));
  return instance.As<I>(iid);
}

// ---- Activation ----

struct NameCase {
  const char* what;
  std::u16string name;
  bool null;
};
class RefusedClassName : public testing::TestWithParam<NameCase> {};

TEST_P(RefusedClassName, GivesClassNotAvailableAndANullFactory) {
  int junk = 0;
  auto* factory = reinterpret_cast<KaltoIActivationFactory*>(&junk);
  auto name = GetParam().null ? nullptr : Name(GetParam().name);
  EXPECT_EQ(abi::CLASS_E_CLASSNOTAVAILABLE, DllGetActivationFactory(name.get(), &factory));
  EXPECT_EQ(nullptr, factory);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedClassName,
    testing::Values(NameCase{"OneMore", u"Kalto.Native.RecordingConfigX", false},
                    NameCase{"OneLess", u"Kalto.Native.RecordingConfi", false},
                    NameCase{"LowerCase", u"kalto.native.recordingconfig", false},
                    NameCase{"UpperCase", u"KALTO.NATIVE.NATIVERECORDER", false},
                    NameCase{"TrailingNul", std::u16string(u"Kalto.Native.RecordingProgress\0", 31), false},
                    NameCase{"Empty", u"", false}, NameCase{"Null", u"", true}),
    [](const auto& info) { return info.param.what; });

TEST(Activation, TheThreeClassesHaveCachedFactoriesAndOnlyTheRecorderHasStatics) {
  for (auto name : {kNativeRecorderClass, kRecordingConfigClass, kRecordingProgressClass}) {
    auto first = Factory(name);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.Get(), Factory(name).Get());
    auto statics = first.As<KaltoINativeRecorderStatics>(KALTO_IID_INativeRecorderStatics);
    EXPECT_EQ(name == kNativeRecorderClass, static_cast<bool>(statics));
    if (statics) {
      KaltoBoolean available = 2;
      EXPECT_EQ(S_OK, statics->lpVtbl->IsHardwareEncoderAvailable(statics.Get(), &available));
      EXPECT_EQ(ToAbi(NativeRecorder::IsHardwareEncoderAvailable()), available);
    }
  }
  EXPECT_EQ(E_POINTER, DllGetActivationFactory(Name(u"Kalto.Native.RecordingConfig").get(), nullptr));
}

// ---- Unloading ----

TEST(Unloading, FactoriesAndObjectsKeepTheModuleAndTheCacheDoesNot) {
  auto factory = Factory(kRecordingConfigClass);
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());  // the application holds a factory
  ComPtr<KaltoIRecordingProgress> progress;  // as ProgressChanged hands one out
  ASSERT_EQ(S_OK, MakeRecordingProgressObject(RecordingProgress(1, 1000000, 30, 0), progress.Put()));
  factory.Reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  progress.Reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  // Made afresh: a new factory works and counts again.
  auto config = Activate<KaltoIRecordingConfig>(kRecordingConfigClass, KALTO_IID_IRecordingConfig);
  ASSERT_TRUE(config);
  EXPECT_EQ(RecordingConfigValues(), ConfigOf(config.Get())->Snapshot());
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  config.Reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  EXPECT_EQ(0, abi::ModuleObjectCount());
}

TEST(Unloading, ReleasingTheCacheDoesNotRaceActivation) {
  std::atomic<bool> done{false};
  std::thread activator([&] {
    for (int i = 0; i < 2000; ++i) {
      EXPECT_TRUE(Activate<KaltoIRecordingProgress>(kRecordingProgressClass, KALTO_IID_IRecordingProgress));
    }
    done = true;
  });
  while (!done) DllCanUnloadNow();
  activator.join();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

// ---- Reference counts and identity ----

TEST(Identity, QueryInterfaceAnswersTheObjectsInterfacesAndCountsEachReference) {
  auto config = Activate<KaltoIRecordingConfig>(kRecordingConfigClass, KALTO_IID_IRecordingConfig);
  ASSERT_TRUE(config);
  auto& object = abi::OwnerOf(config.Get());
  EXPECT_EQ(1u, object.ReferenceCountForTesting());
  for (const KaltoGuid* iid : {&KALTO_IID_IUnknown, &KALTO_IID_IInspectable, &KALTO_IID_IRecordingConfig}) {
    EXPECT_EQ(static_cast<void*>(config.Get()), config.As<KaltoIUnknown>(*iid).Get());
  }
  void* other = config.Get();
  EXPECT_EQ(E_NOINTERFACE, config->lpVtbl->QueryInterface(config.Get(), &KALTO_IID_IRecordingProgress, &other));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(2u, config->lpVtbl->AddRef(config.Get()));
  EXPECT_EQ(1u, config->lpVtbl->Release(config.Get()));

  uint32_t count = 0;
  KaltoGuid* iids = nullptr;
  ASSERT_EQ(S_OK, config->lpVtbl->GetIids(config.Get(), &count, &iids));
  ASSERT_EQ(1u, count);
  EXPECT_TRUE(abi::SameGuid(KALTO_IID_IRecordingConfig, iids[0]));
  std::free(iids);
  KaltoHString name = nullptr;
  ASSERT_EQ(S_OK, config->lpVtbl->GetRuntimeClassName(config.Get(), &name));
  EXPECT_EQ(std::u16string(kRecordingConfigClass), abi::FromAbi(name).Text());
  KaltoDeleteString(name);
  KaltoTrustLevel trust = -1;
  EXPECT_EQ(S_OK, config->lpVtbl->GetTrustLevel(config.Get(), &trust));
  EXPECT_EQ(KALTO_TRUST_LEVEL_BASE, trust);
}

// ---- The slot walks ----

template <typename T>
T Expected(int n, int seed);
template <> int32_t Expected(int n, int seed) { return KaltoTestInt32(n, seed); }
template <> int64_t Expected(int n, int seed) { return KaltoTestInt64(n, seed); }
template <> double Expected(int n, int seed) { return KaltoTestDouble(n, seed); }
template <> bool Expected(int n, int seed) { return KaltoTestBoolean(n, seed) != 0; }
template <> RegionRect Expected(int n, int seed) { return FromAbi(KaltoTestRect(n, seed)); }
template <> FocusZoomSettings Expected(int n, int seed) { return FromAbi(KaltoTestZoom(n, seed)); }
template <> BackgroundEffectConfig Expected(int n, int seed) { return FromAbi(KaltoTestEffect(n, seed)); }
template <>
std::wstring Expected(int n, int seed) {
  KaltoChar16 units[32];
  uint32_t length = KaltoTestText(n, seed, units);
  return abi::HString(std::u16string(units, units + length)).ToWide();
}

TEST(ConfigSlots, EverySetterReachesItsOwnPropertyAndEveryGetterReadsIt) {
  auto config = Activate<KaltoIRecordingConfig>(kRecordingConfigClass, KALTO_IID_IRecordingConfig);
  ASSERT_TRUE(config);
  auto engine = ConfigOf(config.Get());
  ASSERT_TRUE(engine);
  for (int seed = 0; seed < 5; ++seed) {
    SCOPED_TRACE(seed);
    ASSERT_EQ(0, KaltoTestPutConfig(config.Get(), seed)) << "setter of this property";
    RecordingConfigValues values = engine->Snapshot();
    int n = 0;
#define KALTO_EXPECT_PROPERTY(name, type, initial) \
  ++n;                                             \
  EXPECT_EQ(Expected<type>(n, seed), values.name) << #name;
    KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_EXPECT_PROPERTY)
#undef KALTO_EXPECT_PROPERTY
    n = 0;
#define KALTO_SET_PROPERTY(name, type, initial) \
  ++n;                                          \
  engine->name(Expected<type>(n, seed + 5));
    KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_SET_PROPERTY)
#undef KALTO_SET_PROPERTY
    ASSERT_EQ(0, KaltoTestCheckConfig(config.Get(), seed + 5)) << "getter of this property";
  }
  int32_t ignored = 0;
  EXPECT_EQ(E_POINTER, config->lpVtbl->get_FrameRate(config.Get(), nullptr));
  EXPECT_EQ(S_OK, config->lpVtbl->get_FrameRate(config.Get(), &ignored));
  EXPECT_EQ(nullptr, ConfigOf(reinterpret_cast<KaltoIRecordingConfig*>(Factory(kRecordingConfigClass).Get())));
}

TEST(ProgressSlots, TheFourGettersInOrder) {
  ComPtr<KaltoIRecordingProgress> progress;
  ASSERT_EQ(S_OK, MakeRecordingProgressObject(RecordingProgress(2.5, 2500001, 29.75, 7), progress.Put()));
  EXPECT_EQ(0, KaltoTestCheckProgress(progress.Get(), 2.5, 2500001, 29.75, 7));
  auto activated = Activate<KaltoIRecordingProgress>(kRecordingProgressClass, KALTO_IID_IRecordingProgress);
  ASSERT_TRUE(activated);
  EXPECT_EQ(0, KaltoTestCheckProgress(activated.Get(), 0, 0, 0, 0));
}

// ---- The shared library, loaded as an application loads it ----

TEST(SharedLibrary, ActivatesAConfigurationThroughItsExports) {
  void* library = dlopen(KALTO_NATIVE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  auto getFactory = reinterpret_cast<decltype(&DllGetActivationFactory)>(dlsym(library, "DllGetActivationFactory"));
  auto canUnload = reinterpret_cast<decltype(&DllCanUnloadNow)>(dlsym(library, "DllCanUnloadNow"));
  auto createString = reinterpret_cast<decltype(&KaltoCreateString)>(dlsym(library, "KaltoCreateString"));
  auto deleteString = reinterpret_cast<decltype(&KaltoDeleteString)>(dlsym(library, "KaltoDeleteString"));
  auto* iid = static_cast<const KaltoGuid*>(dlsym(library, "KALTO_IID_IRecordingConfig"));
  ASSERT_TRUE(getFactory && canUnload && createString && deleteString && iid);
  EXPECT_EQ(nullptr, dlsym(library, "_ZN5kalto3abi17ModuleObjectCountEv"));  // internals stay inside

  const std::u16string name(kRecordingConfigClass);
  std::vector<KaltoChar16> units(name.begin(), name.end());
  KaltoHString className = nullptr;
  ASSERT_EQ(S_OK, createString(units.data(), static_cast<uint32_t>(units.size()), &className));
  KaltoIActivationFactory* factory = nullptr;
  ASSERT_EQ(S_OK, getFactory(className, &factory));
  deleteString(className);
  KaltoIInspectable* instance = nullptr;
  ASSERT_EQ(S_OK, factory->lpVtbl->ActivateInstance(factory, &instance));
  factory->lpVtbl->Release(factory);
  KaltoIRecordingConfig* config = nullptr;
  ASSERT_EQ(S_OK, instance->lpVtbl->QueryInterface(instance, iid, reinterpret_cast<void**>(&config)));
  instance->lpVtbl->Release(instance);
  int32_t rate = 0;
  EXPECT_EQ(S_OK, config->lpVtbl->put_FrameRate(config, 24));
  EXPECT_EQ(S_OK, config->lpVtbl->get_FrameRate(config, &rate));
  EXPECT_EQ(24, rate);
  EXPECT_EQ(S_FALSE, canUnload());
  config->lpVtbl->Release(config);
  EXPECT_EQ(S_OK, canUnload());
  dlclose(library);
}

}  // namespace
}  // namespace kalto::surface
