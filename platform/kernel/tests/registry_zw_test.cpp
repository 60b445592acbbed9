// The kernel-mode registry: key handles, the information classes with exact lengths and statuses
// for every short buffer, deletion rules, and the Rtl routines by path.
#include <hvsim/registry.h>
#include <sched_testing.h>

#include <cstring>
#include <vector>

namespace {

class ZwRegistry : public hvsim::ktest::VirtualKernelTest {
protected:
    void TearDown() override {
        for (HANDLE h : handles_) ZwClose(h);
        EXPECT_EQ(hvsim::registry::open_key_handles(), 0u);
        hvsim::ktest::VirtualKernelTest::TearDown();
    }

    NTSTATUS create(const char16_t* path, HANDLE* key, ULONG* disposition = nullptr, HANDLE root = nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        NTSTATUS status = ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
        if (NT_SUCCESS(status)) handles_.push_back(*key);
        return status;
    }
    NTSTATUS open(const char16_t* path, HANDLE* key, HANDLE root = nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
        NTSTATUS status = ZwOpenKey(key, KEY_READ, &oa);
        if (NT_SUCCESS(status)) handles_.push_back(*key);
        return status;
    }
    HANDLE service_key() {
        HANDLE key = nullptr;
        EXPECT_EQ(create(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HvUVCP", &key), STATUS_SUCCESS);
        return key;
    }
    static NTSTATUS set(HANDLE key, const char16_t* value, ULONG type, const void* data, ULONG size) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value);
        return ZwSetValueKey(key, &name, 0, type, const_cast<void*>(data), size);
    }
    static NTSTATUS query(HANDLE key, const char16_t* value, KEY_VALUE_INFORMATION_CLASS c, void* buffer, ULONG length,
                          ULONG* result) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value);
        return ZwQueryValueKey(key, &name, c, buffer, length, result);
    }

    std::vector<HANDLE> handles_;
};

TEST_F(ZwRegistry, CreateMakesOneLevelAndReportsTheDisposition) {
    HANDLE key;
    ULONG disposition = 0;
    EXPECT_EQ(create(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\HvUVCP", &key,
                     &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    EXPECT_EQ(create(u"\\REGISTRY\\MACHINE\\system\\currentcontrolset\\services\\eventlog\\SYSTEM\\hvuvcp", &key,
                     &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    HANDLE missing = (HANDLE)1;
    EXPECT_EQ(create(u"\\Registry\\Machine\\SYSTEM\\NoSuchParent\\Child", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(open(u"\\Registry\\Machine\\SYSTEM\\Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(u"Relative\\Without\\Root", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(create(u"\\Registry\\Machine\\SYSTEM\\\\Double", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open(u"\\Device\\Serial0", &key), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ZwRegistry, RelativeOpensAndTheCaseOfCreation) {
    HANDLE service = service_key();
    HANDLE child;
    ASSERT_EQ(create(u"Parameters", &child, nullptr, service), STATUS_SUCCESS);
    HANDLE again;
    EXPECT_EQ(open(u"PARAMETERS", &again, service), STATUS_SUCCESS);
    HANDLE refused;
    EXPECT_EQ(open(u"\\Parameters", &refused, service), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(refused, nullptr);
    HANDLE self;
    EXPECT_EQ(open(u"", &self, service), STATUS_SUCCESS) << "an empty name reopens the root";
    std::vector<uint8_t> buffer(512);
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(again, KeyNameInformation, buffer.data(), (ULONG)buffer.size(), &length), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer.data());
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\HvUVCP\\Parameters");
    EXPECT_EQ(length, 4 + info->NameLength);
    OBJECT_ATTRIBUTES bad;
    InitializeObjectAttributes(&bad, nullptr, 0, (HANDLE)0x7777, nullptr);
    EXPECT_EQ(ZwOpenKey(&again, KEY_READ, &bad), STATUS_INVALID_HANDLE);
    bad.Length = 0;
    EXPECT_EQ(ZwOpenKey(&again, KEY_READ, &bad), STATUS_INVALID_PARAMETER);
}

TEST_F(ZwRegistry, PartialInformationLengthsAndShortBuffers) {
    HANDLE key = service_key();
    DWORD level = 1;
    ASSERT_EQ(set(key, u"LogLevel", REG_DWORD, &level, 4), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[64];
    ULONG result = 0;
    EXPECT_EQ(query(key, u"LogLevel", KeyValuePartialInformation, buffer, 16, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 16u);
    auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(partial->Type, (ULONG)REG_DWORD);
    EXPECT_EQ(partial->DataLength, 4u);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(partial->Data), 1u);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(query(key, u"LogLevel", KeyValuePartialInformation, buffer, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(buffer[0], 0xEE) << "nothing written";
    EXPECT_EQ(query(key, u"LogLevel", KeyValuePartialInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    std::u16string text(300, u'x');
    ASSERT_EQ(set(key, u"Long", REG_SZ, text.c_str(), 602), STATUS_SUCCESS);
    EXPECT_EQ(query(key, u"Long", KeyValuePartialInformation, buffer, 16, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 12u + 602u);
    EXPECT_EQ(partial->Type, (ULONG)REG_SZ);
    EXPECT_EQ(partial->DataLength, 602u) << "the header is filled";
    EXPECT_EQ(buffer[12], 0xEE) << "but no data";
    EXPECT_EQ(query(key, u"Missing", KeyValuePartialInformation, buffer, 64, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query(key, u"LogLevel", (KEY_VALUE_INFORMATION_CLASS)9, buffer, 64, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(query(key, u"LogLevel", KeyValuePartialInformation, buffer, 64, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ZwRegistry, BasicAndFullInformation) {
    HANDLE key = service_key();
    uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(set(key, u"Abc", REG_BINARY, data, 3), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[64];
    ULONG result = 0;
    EXPECT_EQ(query(key, u"abc", KeyValueBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(result, 12u + 6u);
    EXPECT_EQ(basic->NameLength, 6u);
    EXPECT_EQ(std::u16string(basic->Name, 3), u"Abc") << "the name as created";
    EXPECT_EQ(query(key, u"Abc", KeyValueBasicInformation, buffer, 14, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(basic->Name[0], u'A') << "the name is copied as far as it fits";
    EXPECT_EQ(query(key, u"Abc", KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->DataOffset, 28u) << "20 + 6, aligned to 4";
    EXPECT_EQ(full->DataLength, 3u);
    EXPECT_EQ(result, 31u);
    EXPECT_EQ(buffer[full->DataOffset + 2], 3);
    EXPECT_EQ(query(key, u"Abc", KeyValueFullInformation, buffer, 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(query(key, u"Abc", KeyValueFullInformation, buffer, 30, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(full->DataLength, 3u);
    EXPECT_EQ(query(key, u"Abc", KeyValueFullInformationAlign64, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(full->DataOffset, 32u);
    EXPECT_EQ(query(key, u"Abc", KeyValuePartialInformationAlign64, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 11u);
}

TEST_F(ZwRegistry, ValuesKeepExactlyTheBytesGiven) {
    HANDLE key = service_key();
    ASSERT_EQ(set(key, u"NoNul", REG_SZ, u"USB", 6), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"Empty", REG_SZ, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(set(key, u"", REG_SZ, u"default", 16), STATUS_SUCCESS);
    EXPECT_EQ(set(key, u"Bad", REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
    alignas(8) uint8_t buffer[64];
    ULONG result;
    EXPECT_EQ(query(key, u"NoNul", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 18u);
    EXPECT_EQ(query(key, u"Empty", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 12u);
    EXPECT_EQ(ZwQueryValueKey(key, nullptr, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 28u) << "NULL names the default value";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"EMPTY");
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ZwRegistry, DeletionRefusesSubkeysAndLeavesTheHandleDead) {
    HANDLE service = service_key();
    HANDLE child;
    ASSERT_EQ(create(u"UI1", &child, nullptr, service), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(service), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    DWORD v = 1;
    EXPECT_EQ(set(child, u"X", REG_DWORD, &v, 4), STATUS_KEY_DELETED);
    ULONG result;
    uint8_t buffer[64];
    EXPECT_EQ(ZwQueryKey(child, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
    HANDLE reopened;
    EXPECT_EQ(open(u"UI1", &reopened, service), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteKey(service), STATUS_SUCCESS);
    HANDLE root;
    ASSERT_EQ(open(u"\\Registry\\Machine\\SYSTEM", &root), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(root), STATUS_CANNOT_DELETE) << "a hive root";
}

TEST_F(ZwRegistry, EnumerationInCreationOrder) {
    HANDLE service = service_key();
    for (const char16_t* name : {u"Zeta", u"alpha", u"Mid"}) {
        HANDLE sub;
        ASSERT_EQ(create(name, &sub, nullptr, service), STATUS_SUCCESS);
    }
    DWORD v = 0;
    set(service, u"B", REG_DWORD, &v, 4);
    set(service, u"A", REG_DWORD, &v, 4);
    alignas(8) uint8_t buffer[128];
    ULONG result;
    std::vector<std::u16string> names;
    for (ULONG i = 0;; ++i) {
        NTSTATUS status = ZwEnumerateKey(service, i, KeyBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        EXPECT_EQ(result, 16u + info->NameLength);
        EXPECT_NE(info->LastWriteTime.QuadPart, 0);
        names.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Zeta", u"alpha", u"Mid"}));
    EXPECT_EQ(ZwEnumerateKey(service, 0, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 24u);
    EXPECT_EQ(ZwEnumerateKey(service, 0, KeyNodeInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buffer);
    EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu);
    EXPECT_EQ(result, 24u + 8u);
    EXPECT_EQ(ZwEnumerateKey(service, 0, KeyNameInformation, buffer, sizeof buffer, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwEnumerateValueKey(service, 0, KeyValueBasicInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer)->Name[0], u'B');
    EXPECT_EQ(ZwEnumerateValueKey(service, 2, KeyValueBasicInformation, buffer, sizeof buffer, &result),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwQueryKey(service, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->SubKeys, 3u);
    EXPECT_EQ(full->Values, 2u);
    EXPECT_EQ(full->MaxNameLen, 10u);
    EXPECT_EQ(full->MaxValueDataLen, 4u);
    EXPECT_EQ(result, 44u);
    EXPECT_EQ(ZwQueryKey(service, KeyFullInformation, buffer, 43, &result), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ZwRegistry, ClassNamesAndVolatileKeys) {
    HANDLE service = service_key();
    UNICODE_STRING name, cls;
    RtlInitUnicodeString(&name, u"Volatile");
    RtlInitUnicodeString(&cls, u"Cls");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, service, nullptr);
    HANDLE v;
    ASSERT_EQ(ZwCreateKey(&v, KEY_ALL_ACCESS, &oa, 0, &cls, REG_OPTION_VOLATILE, nullptr), STATUS_SUCCESS);
    handles_.push_back(v);
    HANDLE child;
    EXPECT_EQ(create(u"Child", &child, nullptr, v), (NTSTATUS)0xC0000181) << "the child of a volatile key";
    alignas(8) uint8_t buffer[128];
    ULONG result;
    ASSERT_EQ(ZwEnumerateKey(service, 0, KeyNodeInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buffer);
    EXPECT_EQ(node->ClassOffset, 40u) << "24 + 16 bytes of name";
    EXPECT_EQ(node->ClassLength, 6u);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(std::u16string((char16_t*)(buffer + node->ClassOffset), 3), u"Cls");
    EXPECT_EQ(ZwCreateKey(&v, KEY_ALL_ACCESS, &oa, 0, nullptr, 0x100, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ZwRegistry, InjectedFailuresAndIrql) {
    HANDLE service = service_key();
    hvsim::registry::fail_next(hvsim::registry::Operation::Set, STATUS_ACCESS_DENIED);
    DWORD v = 7;
    EXPECT_EQ(set(service, u"LogLevel", REG_DWORD, &v, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(set(service, u"LogLevel", REG_DWORD, &v, 4), STATUS_SUCCESS) << "only the next one";
    hvsim::registry::fail_next(hvsim::registry::Operation::Create, STATUS_INSUFFICIENT_RESOURCES);
    HANDLE k;
    EXPECT_EQ(create(u"X", &k, nullptr, service), STATUS_INSUFFICIENT_RESOURCES);
    hvsim::registry::fail_next(hvsim::registry::Operation::Delete, STATUS_UNSUCCESSFUL);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"LogLevel");
    EXPECT_EQ(ZwDeleteValueKey(service, &name), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hvsim::registry::open_key_handles(), handles_.size());
    EXPECT_EQ(ZwFlushKey(service), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_DEATH(ZwDeleteValueKey(service, &name), "ZwDeleteValueKey called at IRQL 2");
    KeLowerIrql(old);
}

TEST_F(ZwRegistry, RtlWritesByRootWithoutCreatingKeys) {
    DWORD seven = 7;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"NoSuchService", u"X", REG_DWORD, &seven, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(
        hvsim::registry::key_exists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\NoSuchService"));
    service_key();
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"HvUVCP", u"LogLevel", REG_DWORD, &seven, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(hvsim::registry::get_dword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUVCP", u"LogLevel"), 7u);
    const char16_t port[] = u"COM3";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\HvUVCP0", REG_SZ, (PVOID)port,
                                    sizeof port),
              STATUS_SUCCESS);
    EXPECT_EQ(
        hvsim::registry::get_string(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", u"\\Device\\HvUVCP0"),
        u"COM3");
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\HvUVCP0"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\HvUVCP0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_WINDOWS_NT, u"\\Ports", u"COM3:", REG_SZ, (PVOID)port, sizeof port),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_WINDOWS_NT, const_cast<PWSTR>(u"Ports")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_WINDOWS_NT | RTL_REGISTRY_OPTIONAL, const_cast<PWSTR>(u"Ports")),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_USER, const_cast<PWSTR>(u"A\\B")), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(6, u"X", u"Y", REG_DWORD, &seven, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\SOFTWARE", u"V", REG_DWORD, &seven, 4),
        STATUS_SUCCESS);
    HANDLE service = service_key();
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)service, u"ByHandle", REG_DWORD, &seven, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(hvsim::registry::get_dword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUVCP", u"ByHandle"), 7u);
}

} // namespace
