// SetupAPI and CfgMgr32 over the device tree, DOS device names, message boxes, string tables and
// the INF reader.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <hvsim/user.h>
#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <cstring>

#include "inf_file.h"
#include "installation_machine.h"
#include "support/folder_test.h"

namespace {

namespace fs = std::filesystem;

class SetupApiTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        root_ = machine_root();
        installation_test::boot(root_);
        device_ = installation_test::add_device(u"ROOT\\HVSETUPAPI");
        set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        ASSERT_TRUE(SetupDiOpenDeviceInfoW(set_, device_.c_str(), nullptr, 0, &data_));
    }
    void TearDown() override {
        SetupDiDestroyDeviceInfoList(set_);
        EXPECT_EQ(0u, hvsim::user::open_device_info_sets());
        EXPECT_EQ(0u, hvsim::user::open_registry_handles());
        installation_test::shutdown();
        FolderTest::TearDown();
    }
    fs::path root_;
    std::u16string device_;
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data_{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
};

TEST_F(SetupApiTest, PropertiesUseTheTwoCallPatternAndTellAbsentOnesApart) {
    DWORD required = 0, type = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set_, &data_, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(DWORD((std::u16string(u"ROOT\\HVSETUPAPI").size() + 2) * 2), required);
    std::vector<BYTE> buffer(required);
    ASSERT_TRUE(
        SetupDiGetDeviceRegistryPropertyW(set_, &data_, SPDRP_HARDWAREID, &type, buffer.data(), required, nullptr));
    EXPECT_EQ(DWORD(REG_MULTI_SZ), type);

    // The narrow form counts bytes of ANSI text.
    char narrow[64];
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &data_, SPDRP_HARDWAREID, &type, (BYTE*)narrow, sizeof narrow,
                                                  &required));
    EXPECT_EQ(std::strlen("ROOT\\HVSETUPAPI") + 2, required);
    EXPECT_STREQ("ROOT\\HVSETUPAPI", narrow);

    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyW(set_, &data_, SPDRP_FRIENDLYNAME, &type, buffer.data(), required, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_DATA), GetLastError());
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set_, &data_, 0x99, &type, buffer.data(), required, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_REG_PROPERTY), GetLastError());

    const WCHAR name[] = u"My port (COM4)";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set_, &data_, SPDRP_FRIENDLYNAME, (const BYTE*)name, sizeof name));
    WCHAR back[32] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set_, &data_, SPDRP_FRIENDLYNAME, &type, (BYTE*)back, sizeof back,
                                                  &required));
    EXPECT_EQ(DWORD(sizeof name), required);
    EXPECT_EQ(std::u16string(name), back);
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(set_, &data_, SPDRP_CLASS, (const BYTE*)name, sizeof name));
    EXPECT_EQ(DWORD(ERROR_INVALID_REG_PROPERTY), GetLastError());
    DWORD flags = 0x20;
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(set_, &data_, SPDRP_CONFIGFLAGS, (const BYTE*)&flags, 2));
    EXPECT_EQ(DWORD(ERROR_INVALID_DATA), GetLastError());
}

TEST_F(SetupApiTest, TheHardwareKeyIsTheEnumKeysDeviceParameters) {
    HKEY key = SetupDiOpenDevRegKey(set_, &data_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_WRITE);
    ASSERT_NE((HKEY)INVALID_HANDLE_VALUE, key);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"PortName", 0, REG_SZ, (const BYTE*)u"COM5", 8));
    RegCloseKey(key);
    std::u16string path = u"System\\CurrentControlSet\\Enum\\" + device_ + u"\\Device Parameters";
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key));
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"PortName", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(8u, size);
    RegCloseKey(key);

    // No driver installed: no driver key to open.
    EXPECT_EQ((HKEY)INVALID_HANDLE_VALUE, SetupDiOpenDevRegKey(set_, &data_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
    EXPECT_EQ(DWORD(ERROR_KEY_DOES_NOT_EXIST), GetLastError());
    EXPECT_EQ((HKEY)INVALID_HANDLE_VALUE, SetupDiOpenDevRegKey(set_, &data_, DICS_FLAG_GLOBAL, 0, 7, KEY_READ));
}

TEST_F(SetupApiTest, SetsListDevicesAndRefuseWhatTheyDoNotHold) {
    HDEVINFO all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(INVALID_HANDLE_VALUE, all);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    bool found = false;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &data); ++i) found |= data.DevInst == data_.DevInst;
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_TRUE(found);
    SetupDiDestroyDeviceInfoList(all);

    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());

    SP_DEVINFO_DATA wrong{sizeof wrong - 4, {}, 0, 0};
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set_, 0, &wrong));
    EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set_, u"ROOT\\NOSUCH\\0000", nullptr, 0, &data));
    EXPECT_EQ(DWORD(ERROR_NO_SUCH_DEVINST), GetLastError());

    // An element of another set is not one of this set's.
    HDEVINFO other = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA foreign = data_;
    foreign.Reserved = 7;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(other, &foreign, SPDRP_HARDWAREID, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SetupDiDestroyDeviceInfoList(other);

    WCHAR id[MAX_DEVICE_ID_LEN];
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set_, &data_, id, 4, &required));
    EXPECT_EQ(DWORD(device_.size() + 1), required);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set_, &data_, id, MAX_DEVICE_ID_LEN, nullptr));
    EXPECT_EQ(device_, id);
}

TEST_F(SetupApiTest, TheConfigurationManagerWalksTheTree) {
    DEVINST root = 0, parent = 0, child = 0;
    ASSERT_EQ(CR_SUCCESS, CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL));
    ASSERT_EQ(CR_SUCCESS, CM_Get_Parent(&parent, data_.DevInst, 0));
    EXPECT_EQ(root, parent);
    EXPECT_EQ(CR_NO_SUCH_DEVNODE, CM_Get_Parent(&parent, root, 0));
    ASSERT_EQ(CR_SUCCESS, CM_Get_Child(&child, root, 0));
    bool found = child == data_.DevInst;
    for (DEVINST next; CM_Get_Sibling(&next, child, 0) == CR_SUCCESS; child = next) found |= next == data_.DevInst;
    EXPECT_TRUE(found);

    ULONG length = 0;
    ASSERT_EQ(CR_SUCCESS, CM_Get_Device_ID_Size(&length, data_.DevInst, 0));
    EXPECT_EQ(device_.size(), length);
    std::vector<char> id(length + 1);
    EXPECT_EQ(CR_BUFFER_SMALL, CM_Get_Device_IDA(data_.DevInst, id.data(), length, 0));
    ASSERT_EQ(CR_SUCCESS, CM_Get_Device_IDA(data_.DevInst, id.data(), length + 1, 0));
    EXPECT_EQ(std::string(device_.begin(), device_.end()), id.data());
    DEVINST located = 0;
    ASSERT_EQ(CR_SUCCESS, CM_Locate_DevNodeA(&located, id.data(), 0));
    EXPECT_EQ(data_.DevInst, located);
    WCHAR unknown[] = u"ROOT\\NOSUCH\\0000";
    EXPECT_EQ(CR_NO_SUCH_DEVNODE, CM_Locate_DevNodeW(&located, unknown, 0));

    ULONG status = 0, problem = 0;
    ASSERT_EQ(CR_SUCCESS, CM_Get_DevNode_Status(&status, &problem, data_.DevInst, 0));
    EXPECT_EQ(ULONG(CM_PROB_FAILED_INSTALL), problem);
    EXPECT_EQ(0u, status & DN_STARTED);
    EXPECT_EQ(CR_INVALID_DEVNODE, CM_Get_DevNode_Status(&status, &problem, 0x7777, 0));

    hvsim::user::reset_cm_hooks();
    EXPECT_EQ(CR_SUCCESS, CM_Reenumerate_DevNode(root, 0));
    hvsim::user::cm_fail_next(hvsim::user::CmRoutine::ReenumerateDevNode, CR_NEED_RESTART);
    EXPECT_EQ(CR_NEED_RESTART, CM_Reenumerate_DevNode(root, CM_REENUMERATE_RETRY_INSTALLATION));
    auto calls = hvsim::user::reenumerate_calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(ULONG(CM_REENUMERATE_RETRY_INSTALLATION), calls[1].flags);
}

TEST_F(SetupApiTest, DosNamesKeepTheirEarlierDefinitions) {
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM9", u"\\Device\\First"));
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM9", u"\\Device\\Second"));
    WCHAR targets[64];
    DWORD count = QueryDosDeviceW(u"COM9", targets, 64);
    ASSERT_NE(0u, count);
    EXPECT_EQ(u"\\Device\\Second", std::u16string(targets));
    EXPECT_EQ(u"\\Device\\First", std::u16string(targets + 15));
    EXPECT_EQ(0u, QueryDosDeviceW(u"COM9", targets, 10));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    EXPECT_FALSE(DefineDosDeviceW(7, u"COM9", u"\\Device\\Other"));
    ASSERT_TRUE(DefineDosDeviceW(7, u"COM9", u"\\Device\\Second"));
    ASSERT_NE(0u, QueryDosDeviceW(u"COM9", targets, 64));
    EXPECT_EQ(u"\\Device\\First", std::u16string(targets));
    ASSERT_TRUE(DefineDosDeviceW(7, u"COM9", u"\\Device\\First"));
    EXPECT_EQ(0u, QueryDosDeviceW(u"COM9", targets, 64));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(SetupApiTest, MessageBoxesTakeScriptedAnswersAndLeaveATranscript) {
    hvsim::user::reset_message_boxes();
    EXPECT_EQ(IDOK, MessageBoxW(nullptr, u"Done", u"Tarrow", MB_OK | MB_ICONERROR));
    hvsim::user::script_message_box_answers({IDNO});
    EXPECT_EQ(IDNO, MessageBoxA(nullptr, "Continue?", "Error", MB_YESNO | MB_ICONINFORMATION));
    EXPECT_EQ(0, MessageBoxW(nullptr, u"Nobody answers", u"Error", MB_YESNO));
    auto transcript = hvsim::user::message_box_transcript();
    ASSERT_EQ(3u, transcript.size());
    EXPECT_EQ(u"Tarrow", transcript[0].caption);
    EXPECT_EQ(UINT(MB_YESNO | MB_ICONINFORMATION), transcript[1].type);
    EXPECT_EQ(u"Continue?", transcript[1].text);
    EXPECT_TRUE(transcript[1].scripted);
    EXPECT_EQ(1u, hvsim::user::unscripted_message_boxes());

    HINSTANCE module = reinterpret_cast<HINSTANCE>(0x1234);
    hvsim::user::set_module_strings(module, {{5049, u"There was an error renaming the COM port."}});
    WCHAR text[16];
    EXPECT_EQ(15, LoadStringW(module, 5049, text, 16));
    EXPECT_EQ(u"There was an er", std::u16string(text));
    const WCHAR* direct = nullptr;
    EXPECT_EQ(41, LoadStringW(module, 5049, reinterpret_cast<LPWSTR>(&direct), 0));
    EXPECT_EQ(0, std::memcmp(direct, u"There", 10));
    EXPECT_EQ(0, LoadStringW(module, 5050, text, 16));
    EXPECT_EQ(0, text[0]);
    hvsim::user::clear_module_strings(module);
}

TEST_F(SetupApiTest, AbsentDevicesAreListedOnlyWithoutThePresentFlagAndCanBeRemoved) {
    const WCHAR* path = u"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_7A5C&PID_1001\\5&1&0&1";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const WCHAR ids[] = u"USB\\VID_7A5C&PID_1001\0";
    RegSetValueExW(key, u"HardwareID", 0, REG_MULTI_SZ, (const BYTE*)ids, sizeof ids);
    RegCloseKey(key);

    auto holds = [](HDEVINFO set, const std::u16string& id, SP_DEVINFO_DATA* found) {
        WCHAR text[MAX_DEVICE_ID_LEN];
        SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
            if (SetupDiGetDeviceInstanceIdW(set, &data, text, MAX_DEVICE_ID_LEN, nullptr) && id == text) {
                if (found) *found = data;
                return true;
            }
        }
        return false;
    };
    std::u16string absent = u"USB\\VID_7A5C&PID_1001\\5&1&0&1";
    HDEVINFO present = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    EXPECT_FALSE(holds(present, absent, nullptr));
    EXPECT_TRUE(holds(present, device_, nullptr));
    SetupDiDestroyDeviceInfoList(present);

    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    ASSERT_TRUE(holds(all, absent, &data));
    ULONG status, problem;
    EXPECT_EQ(CR_NO_SUCH_DEVINST, CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0));
    DEVINST located;
    std::u16string id = absent;
    EXPECT_EQ(CR_NO_SUCH_DEVNODE, CM_Locate_DevNodeW(&located, id.data(), 0));
    ASSERT_EQ(CR_SUCCESS, CM_Locate_DevNodeW(&located, id.data(), CM_LOCATE_DEVNODE_PHANTOM));
    EXPECT_EQ(data.DevInst, located);

    ASSERT_TRUE(SetupDiRemoveDevice(all, &data));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key));
    EXPECT_FALSE(SetupDiRemoveDevice(all, &data));
    EXPECT_EQ(DWORD(ERROR_NO_SUCH_DEVINST), GetLastError());
    EXPECT_TRUE(SetupDiDeleteDeviceInfo(all, &data));
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(SetupApiTest, AProcessThatEndsClosesItsKeys) {
    auto process = hvsim::user::Process::create({});
    process->start([] {
        HKEY key;
        return DWORD(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key));
    });
    EXPECT_EQ(0u, process->wait());
    EXPECT_EQ(0u, hvsim::user::open_registry_handles());
}

TEST(InfReader, SectionsLinesStringsAndQuotes) {
    const char* text = "; comment\r\n[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass = Ports ; trailing\r\n"
                       "[models]\r\n%Desc% = Install, ID\\ONE, \"ID,TWO\"\r\n"
                       "[Install]\r\nAddReg = A, \\\r\n  B\r\n[strings]\r\nDesc = \"A \"\"quoted\"\" port; 100%%\"\r\n";
    auto file = hvsim::user::inf::InfFile::parse(text);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(u"Ports", file->value(u"VERSION", u"class"));
    const auto& models = file->section(u"Models");
    ASSERT_EQ(1u, models.size());
    EXPECT_EQ(u"A \"quoted\" port; 100%", models[0].key);
    EXPECT_EQ((std::vector<std::u16string>{u"Install", u"ID\\ONE", u"ID,TWO"}), models[0].fields);
    EXPECT_EQ((std::vector<std::u16string>{u"A", u"B"}), file->values(u"Install", u"AddReg"));
    EXPECT_TRUE(file->section(u"Missing").empty());

    std::string error;
    EXPECT_FALSE(hvsim::user::inf::InfFile::parse("Key=Value\r\n[Version]\r\n", &error).has_value());
    EXPECT_NE(std::string::npos, error.find("line 1"));
    EXPECT_FALSE(hvsim::user::inf::InfFile::parse("[Version\r\n", &error).has_value());
}

} // namespace
