// The module object of a library: its instance, its lock count and the COM-server entry points
// over an empty object map.
#include <atlbase.h>
#include <atlapp.h>

#include <gtest/gtest.h>

namespace {

BEGIN_OBJECT_MAP(EmptyMap)
END_OBJECT_MAP()

constexpr GUID kSomeClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSomeInterface = {0x87654321, 0x4321, 0x8765, {8, 7, 6, 5, 4, 3, 2, 1}};

HINSTANCE fake_instance() { return reinterpret_cast<HINSTANCE>(0x10000); }

TEST(ModuleTest, AServerOverAnEmptyMapRegistersNothingAndServesNoClass) {
    CAppModule module;
    EXPECT_EQ(E_UNEXPECTED, module.DllRegisterServer()) << "not initialised yet";
    ASSERT_EQ(S_OK, module.Init(EmptyMap, fake_instance()));
    EXPECT_EQ(fake_instance(), module.GetModuleInstance());
    EXPECT_EQ(fake_instance(), module.GetResourceInstance());
    EXPECT_EQ(fake_instance(), AtlGetResourceInstance());

    EXPECT_EQ(S_OK, module.DllRegisterServer());
    EXPECT_EQ(S_OK, module.DllUnregisterServer());
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, module.DllGetClassObject(kSomeClass, kSomeInterface, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, module.DllGetClassObject(kSomeClass, kSomeInterface, nullptr));

    // Held, it cannot unload; released, it can.
    EXPECT_EQ(S_OK, module.DllCanUnloadNow());
    EXPECT_EQ(1, module.Lock());
    EXPECT_EQ(S_FALSE, module.DllCanUnloadNow());
    EXPECT_EQ(0, module.Unlock());
    EXPECT_EQ(S_OK, module.DllCanUnloadNow());

    HINSTANCE resources = reinterpret_cast<HINSTANCE>(0x20000);
    EXPECT_EQ(fake_instance(), module.SetResourceInstance(resources));
    EXPECT_EQ(resources, AtlGetResourceInstance());
    module.Term();
    EXPECT_EQ(nullptr, AtlGetModule());
    EXPECT_EQ(nullptr, AtlGetResourceInstance()) << "after Term, the program's own image";
}

BEGIN_OBJECT_MAP(OneClassMap){&kSomeClass,
                              [](REFCLSID, REFIID, LPVOID* object) -> HRESULT {
                                  *object = reinterpret_cast<void*>(0x1234);
                                  return S_OK;
                              },
                              [](BOOL registering) -> HRESULT { return registering ? S_OK : E_ACCESSDENIED; }},
    END_OBJECT_MAP()

        TEST(ModuleTest, AClassOfTheMapIsServedAndAFailedRegistrationIsReported) {
    CComModule module;
    module.Init(OneClassMap, fake_instance());
    void* object = nullptr;
    EXPECT_EQ(S_OK, module.DllGetClassObject(kSomeClass, kSomeInterface, &object));
    EXPECT_EQ(reinterpret_cast<void*>(0x1234), object);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, module.DllGetClassObject(kSomeInterface, kSomeInterface, &object));
    EXPECT_EQ(S_OK, module.DllRegisterServer());
    EXPECT_EQ(E_ACCESSDENIED, module.DllUnregisterServer());
    module.Term();
}

} // namespace
