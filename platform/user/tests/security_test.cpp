// Tokens, the security builders, key descriptors and the service control manager on a machine
// with a folder: who may do what, what a program grants and puts back, bad input, and Windows 9x.
#include <windows.h>

#include <gtest/gtest.h>
#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "installation_machine.h"
#include "support/folder_test.h"

namespace {

namespace fs = std::filesystem;
using hvsim::user::TokenKind;

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char16_t kPortsKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

class SecurityTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        root_ = machine_root();
        installation_test::boot(root_);
    }
    void TearDown() override {
        hvsim::user::set_registry_token(TokenKind::Administrator);
        hvsim::user::take_restart_request();
        installation_test::shutdown();
        FolderTest::TearDown();
    }

    static std::shared_ptr<hvsim::user::Process> process(TokenKind kind) {
        hvsim::user::ProcessOptions options;
        options.token = kind;
        return hvsim::user::Process::create(options);
    }
    // Runs `body` on the calling thread as a process with that token.
    static void as(TokenKind kind, const std::function<void()>& body) {
        hvsim::user::ProcessScope scope(process(kind));
        body();
    }

    // A kernel driver's service key, as an INF's AddService writes it.
    static void write_service(const std::string& name) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kServicesKey + name).c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        DWORD one = 1, three = 3;
        RegSetValueExA(key, "Type", 0, REG_DWORD, (const BYTE*)&one, 4);
        RegSetValueExA(key, "Start", 0, REG_DWORD, (const BYTE*)&three, 4);
        RegSetValueExA(key, "ErrorControl", 0, REG_DWORD, (const BYTE*)&one, 4);
        const char path[] = "\\SystemRoot\\System32\\drivers\\none.sys";
        RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, (const BYTE*)path, sizeof path);
        RegCloseKey(key);
    }

    static bool service_key_exists(const std::string& name) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServicesKey + name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    static LSTATUS open_key(const std::u16string& path, REGSAM access) {
        HKEY key;
        LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
        if (status == ERROR_SUCCESS) RegCloseKey(key);
        return status;
    }

    static std::vector<BYTE> key_security(HKEY key) {
        DWORD size = 0;
        EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size));
        std::vector<BYTE> descriptor(size);
        EXPECT_EQ(ERROR_SUCCESS, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size));
        return descriptor;
    }

    // Everyone full control through the builders, as the uninstaller's grant makes it.
    static LSTATUS grant_everyone(HKEY key) {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        EXPECT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
        std::vector<BYTE> acl_bytes(2 * GetLengthSid(everyone) + 32);
        auto* acl = reinterpret_cast<PACL>(acl_bytes.data());
        EXPECT_TRUE(InitializeAcl(acl, DWORD(acl_bytes.size()), ACL_REVISION));
        EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone));
        SECURITY_DESCRIPTOR descriptor;
        EXPECT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
        LSTATUS status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
        EXPECT_EQ(nullptr, FreeSid(everyone));
        return status;
    }

    fs::path root_;
};

// ---- Tokens -------------------------------------------------------------------------------------

// The test that the setup program and the uninstaller make of their caller, with the attributes
// of the Administrators group that such a test must look at.
TEST_F(SecurityTest, TokenGroupsTellAnAdministratorFromAFilteredOneAndAUser) {
    struct Case {
        TokenKind kind;
        DWORD administrators; // attributes; 0 when the token lacks the group
        TOKEN_ELEVATION_TYPE elevation;
    } cases[] = {
        {TokenKind::Administrator, SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED | SE_GROUP_OWNER,
         TokenElevationTypeFull},
        {TokenKind::FilteredAdministrator, SE_GROUP_USE_FOR_DENY_ONLY, TokenElevationTypeLimited},
        {TokenKind::StandardUser, 0, TokenElevationTypeDefault},
        {TokenKind::System, SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED | SE_GROUP_OWNER,
         TokenElevationTypeDefault},
    };
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &admins));
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.kind));
        as(c.kind, [&] {
            HANDLE token = nullptr;
            EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
            EXPECT_EQ(DWORD(ERROR_NO_TOKEN), GetLastError());
            ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
            DWORD size = 0;
            EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
            EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
            std::vector<BYTE> buffer(size);
            ASSERT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), size, &size));
            auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
            DWORD found = 0;
            for (DWORD i = 0; i < groups->GroupCount; ++i) {
                // The SIDs lie inside the caller's block.
                EXPECT_GE((BYTE*)groups->Groups[i].Sid, buffer.data());
                EXPECT_LT((BYTE*)groups->Groups[i].Sid, buffer.data() + buffer.size());
                if (EqualSid(groups->Groups[i].Sid, admins)) found = groups->Groups[i].Attributes;
            }
            EXPECT_EQ(c.administrators, found);

            TOKEN_ELEVATION_TYPE elevation{};
            WORD too_small;
            EXPECT_FALSE(GetTokenInformation(token, TokenElevationType, &too_small, sizeof too_small, &size));
            EXPECT_EQ(DWORD(ERROR_BAD_LENGTH), GetLastError());
            ASSERT_TRUE(GetTokenInformation(token, TokenElevationType, &elevation, sizeof elevation, &size));
            EXPECT_EQ(c.elevation, elevation);
            EXPECT_TRUE(CloseHandle(token));
        });
    }
    EXPECT_EQ(nullptr, FreeSid(admins));
}

TEST_F(SecurityTest, ShutdownNeedsItsPrivilegeEnabledInTheCallersToken) {
    as(TokenKind::StandardUser, [&] {
        EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
        EXPECT_EQ(DWORD(ERROR_PRIVILEGE_NOT_HELD), GetLastError());
        EXPECT_FALSE(hvsim::user::take_restart_request().has_value());

        LUID shutdown{}, debug{}, none{};
        ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown));
        ASSERT_TRUE(LookupPrivilegeValueW(u"", u"sedebugprivilege", &debug));
        EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &none));
        EXPECT_EQ(DWORD(ERROR_NO_SUCH_PRIVILEGE), GetLastError());
        EXPECT_FALSE(LookupPrivilegeValueA("\\\\elsewhere", "SeShutdownPrivilege", &none));
        EXPECT_EQ(DWORD(RPC_S_SERVER_UNAVAILABLE), GetLastError());

        TOKEN_PRIVILEGES enable{1, {{shutdown, SE_PRIVILEGE_ENABLED}}};
        HANDLE query_only;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &query_only));
        EXPECT_FALSE(AdjustTokenPrivileges(query_only, FALSE, &enable, 0, nullptr, nullptr));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
        CloseHandle(query_only);

        HANDLE token;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
        // A user's token lacks the debug privilege: the call succeeds and says so.
        TOKEN_PRIVILEGES debug_on{1, {{debug, SE_PRIVILEGE_ENABLED}}};
        SetLastError(0);
        EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &debug_on, 0, nullptr, nullptr));
        EXPECT_EQ(DWORD(ERROR_NOT_ALL_ASSIGNED), GetLastError());

        // The previous state must fit, or nothing changes.
        TOKEN_PRIVILEGES previous{};
        DWORD needed = 0;
        EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &enable, 4, &previous, &needed));
        EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
        EXPECT_EQ(DWORD(sizeof(TOKEN_PRIVILEGES)), needed);
        EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));

        ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &enable, sizeof previous, &previous, &needed));
        EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
        EXPECT_EQ(1u, previous.PrivilegeCount);
        EXPECT_EQ(0u, previous.Privileges[0].Attributes); // present but disabled before
        EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
        EXPECT_EQ(std::optional<UINT>(EWX_REBOOT | EWX_FORCE), hvsim::user::take_restart_request());

        // A duplicate is a token of its own: disabling everything there leaves this one as it is.
        HANDLE copy;
        EXPECT_FALSE(DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityDelegation, TokenPrimary, &copy));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError()); // opened without TOKEN_DUPLICATE
        HANDLE source;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &source));
        ASSERT_TRUE(DuplicateTokenEx(source, MAXIMUM_ALLOWED, nullptr, SecurityDelegation, TokenPrimary, &copy));
        EXPECT_TRUE(AdjustTokenPrivileges(copy, TRUE, nullptr, 0, nullptr, nullptr));
        EXPECT_TRUE(ExitWindowsEx(EWX_SHUTDOWN, 0));
        CloseHandle(copy);
        CloseHandle(source);
        CloseHandle(token);
    });
}

TEST_F(SecurityTest, EachProcessChecksTheRegistryWithItsOwnToken) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvAdminOnly", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    auto admins_only = hvsim::user::make_security_descriptor({{"S-1-5-32-544", KEY_ALL_ACCESS}}, "S-1-5-18");
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, admins_only.data()));
    RegCloseKey(key);

    auto user = process(TokenKind::StandardUser);
    {
        hvsim::user::ProcessScope scope(user);
        EXPECT_EQ(ERROR_ACCESS_DENIED, open_key(u"SOFTWARE\\HvAdminOnly", KEY_READ));
    }
    EXPECT_EQ(ERROR_SUCCESS, open_key(u"SOFTWARE\\HvAdminOnly", KEY_READ));
    // The default changes the machine's own process and new processes, not those running.
    hvsim::user::set_registry_token(TokenKind::FilteredAdministrator);
    EXPECT_EQ(ERROR_ACCESS_DENIED, open_key(u"SOFTWARE\\HvAdminOnly", KEY_READ));
    auto admin = process(TokenKind::Administrator);
    hvsim::user::ProcessScope scope(admin);
    EXPECT_EQ(ERROR_SUCCESS, open_key(u"SOFTWARE\\HvAdminOnly", KEY_READ));
}

// ---- Key descriptors ------------------------------------------------------------------------------

TEST_F(SecurityTest, ADeviceKeysDaclIsGrantedToEveryoneAndPutBack) {
    std::u16string instance = installation_test::add_device(u"ROOT\\HVSECTEST");
    ASSERT_FALSE(instance.empty());
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance;
    EXPECT_EQ(ERROR_ACCESS_DENIED, open_key(path, KEY_ALL_ACCESS));
    EXPECT_EQ(ERROR_SUCCESS, open_key(path, KEY_READ));
    as(TokenKind::FilteredAdministrator, [&] { EXPECT_EQ(ERROR_ACCESS_DENIED, open_key(path, WRITE_DAC)); });

    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC | READ_CONTROL, &key));
    std::vector<BYTE> saved = key_security(key);
    auto dacl = hvsim::user::dacl_of(saved);
    ASSERT_TRUE(dacl.has_value());
    ASSERT_EQ(3u, dacl->size());
    EXPECT_EQ("S-1-5-18", (*dacl)[0].sid);
    EXPECT_EQ(ACCESS_MASK(KEY_ALL_ACCESS), (*dacl)[0].mask);
    EXPECT_EQ("S-1-5-32-544", (*dacl)[1].sid);
    EXPECT_EQ(ACCESS_MASK(KEY_READ | WRITE_DAC), (*dacl)[1].mask);
    EXPECT_EQ("S-1-1-0", (*dacl)[2].sid);
    EXPECT_EQ(ACCESS_MASK(KEY_READ), (*dacl)[2].mask);

    ASSERT_EQ(ERROR_SUCCESS, grant_everyone(key));
    EXPECT_EQ(ERROR_SUCCESS, open_key(path, KEY_ALL_ACCESS));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, open_key(path, KEY_ALL_ACCESS));
    EXPECT_EQ(saved, key_security(key));
    RegCloseKey(key);
}

TEST_F(SecurityTest, ThePortsListIsAdministratorsToChange) {
    const REGSAM change = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    EXPECT_EQ(ERROR_SUCCESS, open_key(kPortsKey, change));
    as(TokenKind::StandardUser, [&] {
        EXPECT_EQ(ERROR_SUCCESS, open_key(kPortsKey, KEY_READ));
        EXPECT_EQ(ERROR_ACCESS_DENIED, open_key(kPortsKey, change));
    });
    as(TokenKind::FilteredAdministrator, [&] { EXPECT_EQ(ERROR_ACCESS_DENIED, open_key(kPortsKey, change)); });
}

TEST_F(SecurityTest, MalformedSidsAclsAndDescriptorsAreRefused) {
    BYTE bad_sid[12] = {3, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}; // revision 3
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID sid = nullptr;
    EXPECT_FALSE(AllocateAndInitializeSid(&world, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_EQ(DWORD(ERROR_INVALID_SID), GetLastError());
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_FALSE(IsValidSid(bad_sid));
    EXPECT_EQ(bad_sid, FreeSid(bad_sid)); // not one it gave

    alignas(4) BYTE storage[8 + 8 + 12] = {};
    auto* acl = reinterpret_cast<PACL>(storage);
    struct Refusal {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    } refusals[] = {
        {"short ACL", [&] { return InitializeAcl(acl, 4, ACL_REVISION); }, ERROR_INSUFFICIENT_BUFFER},
        {"ACL revision", [&] { return InitializeAcl(acl, sizeof storage, 9); }, ERROR_INVALID_PARAMETER},
        {"entry beyond the ACL",
         [&] {
             InitializeAcl(acl, sizeof storage, ACL_REVISION);
             AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sid); // exactly fills it
             return AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sid);
         },
         ERROR_ALLOTTED_SPACE_EXCEEDED},
        {"entry of a bad SID", [&] { return AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, bad_sid); },
         ERROR_INVALID_SID},
        {"entry past the count",
         [&] {
             LPVOID ace;
             return GetAce(acl, 1, &ace);
         },
         ERROR_INVALID_PARAMETER},
        {"descriptor revision",
         [&] {
             SECURITY_DESCRIPTOR d;
             return InitializeSecurityDescriptor(&d, 2);
         },
         ERROR_UNKNOWN_REVISION},
        {"DACL into a self-relative descriptor",
         [&] {
             auto d = hvsim::user::make_security_descriptor({{"S-1-1-0", KEY_READ}});
             return SetSecurityDescriptorDacl(d.data(), TRUE, acl, FALSE);
         },
         ERROR_INVALID_SECURITY_DESCR},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        SetLastError(0);
        EXPECT_FALSE(r.call());
        EXPECT_EQ(r.error, GetLastError());
    }
    EXPECT_EQ(1, acl->AceCount);

    // A descriptor whose ACL claims more entries than it holds changes nothing.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvCorrupt", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    std::vector<BYTE> before = key_security(key);
    auto corrupt = hvsim::user::make_security_descriptor({{"S-1-1-0", KEY_ALL_ACCESS}});
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, corrupt.data(), sizeof header);
    corrupt[header.Dacl + 4] = 5; // AceCount
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, corrupt.data()));
    EXPECT_EQ(before, key_security(key));
    RegCloseKey(key);
    FreeSid(sid);
}

// ---- The service control manager ------------------------------------------------------------------

TEST_F(SecurityTest, HandlesOfTheWrongKindAreRefused) {
    write_service("HvSecSvc");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = OpenServiceA(manager, "HvSecSvc", SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, service);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token));
    SERVICE_STATUS status;
    DWORD size;
    BYTE buffer[64];
    HANDLE out;
    TOKEN_PRIVILEGES none{};
    struct Call {
        const char* what;
        std::function<bool()> call;
    } calls[] = {
        {"token query of an event",
         [&] { return GetTokenInformation(event, TokenUser, buffer, sizeof buffer, &size); }},
        {"privileges of an event", [&] { return AdjustTokenPrivileges(event, FALSE, &none, 0, nullptr, nullptr); }},
        {"duplicate of an event",
         [&] { return DuplicateTokenEx(event, TOKEN_ALL_ACCESS, nullptr, SecurityAnonymous, TokenPrimary, &out); }},
        {"process token of a token", [&] { return OpenProcessToken(token, TOKEN_QUERY, &out); }},
        {"thread token of the process", [&] { return OpenThreadToken(GetCurrentProcess(), TOKEN_QUERY, FALSE, &out); }},
        {"service opened on a service",
         [&] { return OpenServiceA(service, "HvSecSvc", SERVICE_QUERY_STATUS) != nullptr; }},
        {"status of the manager", [&] { return QueryServiceStatus(manager, &status); }},
        {"stop of the manager", [&] { return ControlService(manager, SERVICE_CONTROL_STOP, &status); }},
        {"delete of the manager", [&] { return DeleteService(manager); }},
        {"configuration of a token", [&] { return QueryServiceConfigA((SC_HANDLE)token, nullptr, 0, &size); }},
        {"service close of an event", [&] { return CloseServiceHandle((SC_HANDLE)event); }},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    }
    EXPECT_FALSE(CloseHandle((HANDLE)service)); // an SC handle is no kernel handle
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_FALSE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
    CloseHandle(event);
    CloseHandle(token);
}

TEST_F(SecurityTest, AFilteredAdministratorMayOnlyQueryServices) {
    write_service("HvSecSvc");
    as(TokenKind::FilteredAdministrator, [&] {
        EXPECT_EQ(nullptr, OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
        SC_HANDLE manager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
        ASSERT_NE(nullptr, manager);
        EXPECT_EQ(nullptr, OpenServiceA(manager, "HvSecSvc", SERVICE_ALL_ACCESS));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
        SC_HANDLE service = OpenServiceA(manager, "hvsecsvc", GENERIC_READ);
        ASSERT_NE(nullptr, service);
        SERVICE_STATUS status{};
        ASSERT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(DWORD(SERVICE_STOPPED), status.dwCurrentState);
        EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
        EXPECT_FALSE(DeleteService(service));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    });
    EXPECT_TRUE(service_key_exists("HvSecSvc"));
}

TEST_F(SecurityTest, ServiceNamesAndDatabasesAreChecked) {
    write_service("HvSecSvc");
    EXPECT_EQ(nullptr, OpenSCManagerA("\\\\elsewhere", nullptr, SC_MANAGER_CONNECT));
    EXPECT_EQ(DWORD(RPC_S_SERVER_UNAVAILABLE), GetLastError());
    EXPECT_EQ(nullptr, OpenSCManagerW(nullptr, u"ServicesElsewhere", SC_MANAGER_CONNECT));
    EXPECT_EQ(DWORD(ERROR_DATABASE_DOES_NOT_EXIST), GetLastError());
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    const std::string long_name(257, 'A');
    struct Name {
        const char* name;
        DWORD error;
    } names[] = {{nullptr, ERROR_INVALID_NAME},
                 {"", ERROR_INVALID_NAME},
                 {long_name.c_str(), ERROR_INVALID_NAME},
                 {"Hv\\SecSvc", ERROR_INVALID_NAME},
                 {"HvMissing", ERROR_SERVICE_DOES_NOT_EXIST},
                 {"EventLog", ERROR_SERVICE_DOES_NOT_EXIST}}; // a key without Type is no service
    for (const Name& n : names) {
        SCOPED_TRACE(n.name ? n.name : "(null)");
        EXPECT_EQ(nullptr, OpenServiceA(manager, n.name, SERVICE_QUERY_STATUS));
        EXPECT_EQ(n.error, GetLastError());
    }
    CloseServiceHandle(manager);
}

TEST_F(SecurityTest, AServiceConfigurationIsReadAtTheSizeItNeeds) {
    write_service("HvSecSvc");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HvSecSvc", 0,
                                           KEY_SET_VALUE, &key));
    const char16_t depends[] = u"HvOther\0";
    const char16_t group[] = u"Extended Base\0";
    RegSetValueExW(key, u"DependOnService", 0, REG_MULTI_SZ, (const BYTE*)depends, sizeof depends);
    RegSetValueExW(key, u"DependOnGroup", 0, REG_MULTI_SZ, (const BYTE*)group, sizeof group);
    RegSetValueExW(key, u"DisplayName", 0, REG_SZ, (const BYTE*)u"Test service", sizeof u"Test service");
    RegCloseKey(key);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "HvSecSvc", SERVICE_QUERY_CONFIG);
    ASSERT_NE(nullptr, service);
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigA(service, nullptr, 0, &needed));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    const char path[] = "\\SystemRoot\\System32\\drivers\\none.sys";
    // The record, then the path, group, dependencies (each ended, the list once more), start
    // name and display name.
    EXPECT_EQ(sizeof(QUERY_SERVICE_CONFIGA) + sizeof path + 1 + sizeof "HvOther" + sizeof "+Extended Base" + 1 + 1 +
                  sizeof "Test service",
              needed);
    std::vector<BYTE> block(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(block.data());
    EXPECT_FALSE(QueryServiceConfigA(service, config, needed - 1, &needed));
    ASSERT_TRUE(QueryServiceConfigA(service, config, needed, &needed));
    EXPECT_EQ(DWORD(SERVICE_KERNEL_DRIVER), config->dwServiceType);
    EXPECT_EQ(DWORD(SERVICE_DEMAND_START), config->dwStartType);
    EXPECT_STREQ(path, config->lpBinaryPathName);
    EXPECT_EQ(0, std::memcmp(config->lpDependencies, "HvOther\0+Extended Base\0", sizeof "HvOther\0+Extended Base\0"));
    EXPECT_STREQ("Test service", config->lpDisplayName);

    SC_HANDLE wide = OpenServiceW(manager, u"HvSecSvc", SERVICE_QUERY_CONFIG);
    EXPECT_FALSE(QueryServiceConfigW(wide, nullptr, 0, &needed));
    std::vector<BYTE> wide_block(needed);
    auto* wide_config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(wide_block.data());
    ASSERT_TRUE(QueryServiceConfigW(wide, wide_config, needed, &needed));
    EXPECT_EQ(std::u16string(u"Test service"), wide_config->lpDisplayName);
    CloseServiceHandle(wide);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SecurityTest, ADeletedServiceGoesWithItsLastHandleOrAtTheNextBoot) {
    write_service("HvSecSvc");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE first = OpenServiceA(manager, "HvSecSvc", SERVICE_ALL_ACCESS);
    SC_HANDLE second = OpenServiceA(manager, "HvSecSvc", DELETE | SERVICE_STOP);
    ASSERT_NE(nullptr, second);
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(first, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(DWORD(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
    EXPECT_EQ(DWORD(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_FALSE(ControlService(first, 0, &status));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    ASSERT_TRUE(DeleteService(first));
    EXPECT_FALSE(DeleteService(second));
    EXPECT_EQ(DWORD(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
    EXPECT_TRUE(CloseServiceHandle(first));
    EXPECT_TRUE(service_key_exists("HvSecSvc"));
    EXPECT_TRUE(CloseServiceHandle(second));
    EXPECT_FALSE(service_key_exists("HvSecSvc"));

    // Marked, and the program ends without closing: the boot after takes the key.
    write_service("HvSecSvc");
    auto program = process(TokenKind::Administrator);
    program->start([] {
        SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        return DWORD(DeleteService(OpenServiceA(m, "HvSecSvc", DELETE)) ? 0 : 1);
    });
    EXPECT_EQ(0u, program->wait());
    write_service("HvSecOther");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HvSecOther", 0,
                                           KEY_SET_VALUE, &key));
    DWORD one = 1;
    RegSetValueExA(key, "DeleteFlag", 0, REG_DWORD, (const BYTE*)&one, 4);
    RegCloseKey(key);
    EXPECT_FALSE(service_key_exists("HvSecSvc")); // its handles went with the program
    EXPECT_TRUE(service_key_exists("HvSecOther"));
    CloseServiceHandle(manager);
    installation_test::shutdown();
    installation_test::boot(root_);
    EXPECT_FALSE(service_key_exists("HvSecOther"));
}

// ---- Windows versions -----------------------------------------------------------------------------

TEST_F(SecurityTest, Windows98HasNoTokensServicesOrRegistrySecurity) {
    HKEY key, sub;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\HvTree", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    RegCloseKey(sub);
    auto admins_only = hvsim::user::make_security_descriptor({{"S-1-5-32-544", KEY_ALL_ACCESS}}, "S-1-5-18");
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, admins_only.data()));
    RegCloseKey(key);

    hvsim::user::WindowsVersion xp;
    xp.major = 5;
    xp.minor = 1;
    hvsim::user::set_windows_version(xp);
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_ELEVATION_TYPE elevation;
    DWORD size;
    EXPECT_FALSE(GetTokenInformation(token, TokenElevationType, &elevation, sizeof elevation, &size));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    CloseHandle(token);

    hvsim::user::WindowsVersion win98;
    win98.major = 4;
    win98.minor = 10;
    win98.build = 2222;
    win98.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    hvsim::user::set_windows_version(win98);
    as(TokenKind::StandardUser, [&] {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID sid;
        LUID luid;
        struct Call {
            const char* what;
            std::function<bool()> call;
        } calls[] = {
            {"OpenProcessToken", [&] { return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token); }},
            {"LookupPrivilegeValueA", [&] { return LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid); }},
            {"OpenSCManagerA", [&] { return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT) != nullptr; }},
            {"AllocateAndInitializeSid",
             [&] { return AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid); }},
        };
        for (const Call& c : calls) {
            SCOPED_TRACE(c.what);
            EXPECT_FALSE(c.call());
            EXPECT_EQ(DWORD(ERROR_CALL_NOT_IMPLEMENTED), GetLastError());
        }
        EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
        EXPECT_EQ(ERROR_SUCCESS, open_key(u"SOFTWARE\\HvTree", KEY_ALL_ACCESS));
        EXPECT_NE(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvTree"));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\HvTree"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, open_key(u"SOFTWARE\\HvTree", KEY_READ));
    });
}

} // namespace
