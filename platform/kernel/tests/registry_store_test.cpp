// The registry store: standard roots, user-mode path forms, and persistence to the machine's file
// (a byte-identical round trip, and clear errors for a corrupt file).
#include <hvsim/debug_log.h>
#include <hvsim/format.h>
#include <hvsim/registry.h>
#include <sched_testing.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

namespace reg = hvsim::registry;

using RegistryStore = hvsim::ktest::VirtualKernelTest;

// A fresh machine folder per test.
class MachineFolder {
public:
    MachineFolder() {
        path_ = std::filesystem::temp_directory_path() /
                ("hvsim-registry-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~MachineFolder() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }
    std::string read(const char* name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const char* name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
    }

private:
    std::filesystem::path path_;
    static inline int counter_ = 0;
};

reg::Key open(std::u16string_view path) {
    reg::Key key;
    EXPECT_EQ(reg::open(nullptr, *reg::native_path(path), &key), STATUS_SUCCESS);
    return key;
}

// A key with values of every kind, including bytes that are not well-formed text.
void fill_sample() {
    ASSERT_EQ(reg::create_key(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUsbSam\\Parameters"), STATUS_SUCCESS);
    auto key = open(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUsbSam");
    DWORD start = 3;
    ULONGLONG big = 0x0123456789ABCDEFULL;
    const char16_t image[] = u"System32\\drivers\\HvUBus.sys";
    const char16_t multi[] = u"COM1\0COM2\0";
    const char16_t quote[] = u"a \"quoted\" 100% [text] \u00E9\u20AC";
    uint8_t odd[] = {0x41, 0x00, 0x42};
    reg::set_value(key, u"Start", REG_DWORD, &start, 4);
    reg::set_value(key, u"Big", REG_QWORD, &big, 8);
    reg::set_value(key, u"ImagePath", REG_EXPAND_SZ, image, sizeof image);
    reg::set_value(key, u"Ports", REG_MULTI_SZ, multi, sizeof multi);
    reg::set_value(key, u"Quote \"name\"", REG_SZ, quote, sizeof quote);
    reg::set_value(key, u"NoTerminator", REG_SZ, u"USB", 6);
    reg::set_value(key, u"Odd", REG_SZ, odd, sizeof odd);
    reg::set_value(key, u"Empty", REG_MULTI_SZ, nullptr, 0);
    reg::set_value(key, u"", REG_BINARY, odd, 2);
    reg::set_value(key, u"Custom", 0x1234, odd, 1);
    uint8_t descriptor[] = {1, 0, 4, 0x80};
    reg::set_security(key, descriptor, sizeof descriptor);
    reg::Key vol;
    reg::CreateOptions options;
    options.is_volatile = true;
    reg::create(key, u"Volatile", &vol, nullptr, options);
}

TEST_F(RegistryStore, StandardRootsAreSeeded) {
    for (const char16_t* path : {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
                                 u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control",
                                 u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum",
                                 u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                 u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                 u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                                 u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System",
                                 u"\\Registry\\User\\CurrentUser"})
        EXPECT_TRUE(reg::key_exists(path)) << hvsim::text::to_utf8(path);
}

TEST_F(RegistryStore, UserModeRootNames) {
    EXPECT_EQ(reg::native_path(u"HKEY_LOCAL_MACHINE\\SYSTEM"), u"\\Registry\\Machine\\SYSTEM");
    EXPECT_EQ(reg::native_path(u"hklm"), u"\\Registry\\Machine");
    EXPECT_EQ(reg::native_path(u"HKCU\\Software"), u"\\Registry\\User\\CurrentUser\\Software");
    EXPECT_EQ(reg::native_path(u"HKEY_CLASSES_ROOT\\CLSID"), u"\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID");
    EXPECT_EQ(reg::native_path(u"\\Registry\\User"), u"\\Registry\\User");
    EXPECT_FALSE(reg::native_path(u"HKEY_NOWHERE\\X").has_value());
    EXPECT_EQ(reg::set_dword(u"HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP", u"Value", 5), STATUS_SUCCESS);
    EXPECT_EQ(reg::get_dword(u"\\REGISTRY\\MACHINE\\hardware\\devicemap", u"VALUE"), 5u);
    EXPECT_EQ(reg::set_string(u"HKLM\\HARDWARE\\DEVICEMAP", u"S", u"text"), STATUS_SUCCESS);
    EXPECT_EQ(reg::get_value(u"HKLM\\HARDWARE\\DEVICEMAP", u"S")->data.size(), 10u) << "with its terminator";
    EXPECT_FALSE(reg::get_dword(u"HKLM\\HARDWARE\\DEVICEMAP", u"S").has_value());
}

TEST_F(RegistryStore, DeleteTreeAndHeldKeys) {
    ASSERT_EQ(reg::create_key(u"HKLM\\SOFTWARE\\Vendor\\Product\\Version"), STATUS_SUCCESS);
    auto vendor = open(u"HKLM\\SOFTWARE\\Vendor");
    auto version = open(u"HKLM\\SOFTWARE\\Vendor\\Product\\Version");
    EXPECT_EQ(reg::delete_key(vendor), STATUS_CANNOT_DELETE);
    EXPECT_EQ(reg::delete_tree(vendor), STATUS_SUCCESS);
    EXPECT_TRUE(reg::is_deleted(version)) << "everything below goes too";
    reg::Value v;
    EXPECT_EQ(reg::query_value(version, u"X", &v), STATUS_KEY_DELETED);
    EXPECT_FALSE(reg::key_exists(u"HKLM\\SOFTWARE\\Vendor"));
    EXPECT_EQ(reg::delete_tree(open(u"HKLM\\SOFTWARE")), STATUS_CANNOT_DELETE);
}

TEST_F(RegistryStore, TheTextFormIsReadableAndRoundTripsByteForByte) {
    fill_sample();
    std::string text = reg::to_text();
    EXPECT_NE(text.find("\"Start\" = dword 0x00000003"), std::string::npos) << text;
    EXPECT_NE(text.find("\"ImagePath\" = expand_sz \"System32\\drivers\\HvUBus.sys\""), std::string::npos);
    EXPECT_NE(text.find("\"Ports\" = multi_sz \"COM1\" \"COM2\""), std::string::npos);
    EXPECT_NE(text.find("\"NoTerminator\" = sz hex:55 00 53 00 42 00"), std::string::npos);
    EXPECT_NE(text.find("\"Quote %0022name%0022\" = sz \"a %0022quoted%0022 100%0025 %005Btext%005D %00E9%20AC\""),
              std::string::npos);
    EXPECT_NE(text.find(".security hex:01 00 04 80"), std::string::npos);
    EXPECT_EQ(text.find("Volatile"), std::string::npos) << "volatile keys are not saved";
    auto before = open(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUsbSam");
    ASSERT_EQ(reg::from_text(text), STATUS_SUCCESS);
    EXPECT_TRUE(reg::is_deleted(before)) << "keys held across a load are stale";
    EXPECT_EQ(reg::to_text(), text);
    auto after = open(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUsbSam");
    reg::Value odd;
    ASSERT_EQ(reg::query_value(after, u"odd", &odd), STATUS_SUCCESS);
    EXPECT_EQ(odd.data, (std::vector<uint8_t>{0x41, 0x00, 0x42}));
    EXPECT_EQ(odd.name, u"Odd");
    reg::KeyInfo info, original;
    ASSERT_EQ(reg::query_key(after, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.values, 10u);
    EXPECT_EQ(info.subkeys, 1u);
}

TEST_F(RegistryStore, ACorruptTextIsRefusedWithItsLineAndChangesNothing) {
    fill_sample();
    std::string good = reg::to_text();
    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {"", "not a registry file"},
        {"something else\n", "line 1: not a registry file"},
        {"hvsim registry 1\n[\\REGISTRY]\n\"A\" = dword 0x12\n", "line 3: '0x12' is not a 8-digit 0x number"},
        {"hvsim registry 1\n[\\REGISTRY]\n\"A\" = dword\n", "line 3:"},
        {"hvsim registry 1\n\"A\" = sz \"x\"\n", "line 2: a value or property before the first key"},
        {"hvsim registry 1\n[\\REGISTRY]\n[\\REGISTRY\\A]\n[\\REGISTRY\\a]\n", "line 4: the key is listed twice"},
        {"hvsim registry 1\n[\\REGISTRY]\n\"A\" = sz \"unterminated\n", "line 3: a quoted text has no closing quote"},
        {"hvsim registry 1\n[\\REGISTRY]\n\"A\" = binary hex:0G\n", "line 3: '0G' is not a hex byte"},
        {"hvsim registry 1\n[\\REGISTRY]\n\"A\" = sz \"%12\"\n", "line 3: a %XXXX escape"},
        {"hvsim registry 1\n[\\REGISTRY]\n.owner x\n", "line 3: unknown key property '.owner'"},
        {"hvsim registry 1\n[\\OTHER]\n", "line 2: the first key must be \\REGISTRY"},
        {"hvsim registry 1\n[\\REGISTRY]\n\"A\" = 4294967296 hex:\n", "too large"},
        {"hvsim registry 1\n[\\REGISTRY]\n\"A\" = dword 0x00000001\n\"a\" = dword 0x00000002\n",
         "listed twice in its key"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(reg::from_text(c.text, &error), STATUS_UNSUCCESSFUL) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << "got: " << error;
    }
    EXPECT_EQ(reg::to_text(), good);
}

TEST_F(RegistryStore, HandEditedFilesMayOmitParentsTimesAndComments) {
    ASSERT_EQ(reg::from_text("; a comment\r\nhvsim registry 1\r\n[\\REGISTRY]\r\n[\\REGISTRY\\MACHINE\\SYSTEM\\X]\r\n"
                             "\"V\" = dword 0x0000002A\r\n"),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::get_dword(u"HKLM\\SYSTEM\\X", u"V"), 42u);
}

TEST_F(RegistryStore, BootLoadsTheMachineFileAndShutdownSavesIt) {
    MachineFolder folder;
    hvsim::kernel_shutdown();
    hvsim::KernelOptions options;
    options.root = folder.path();
    hvsim::kernel_boot(options);
    fill_sample();
    hvsim::kernel_shutdown();
    std::string saved = folder.read("registry.txt");
    EXPECT_NE(saved.find("HvUsbSam"), std::string::npos);
    hvsim::kernel_boot(options);
    EXPECT_EQ(reg::get_dword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUsbSam", u"Start"), 3u);
    EXPECT_EQ(reg::boot_load_error(), "");
    EXPECT_EQ(reg::save(), STATUS_SUCCESS);
    EXPECT_EQ(folder.read("registry.txt"), saved) << "saved again byte for byte";
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
    EXPECT_FALSE(reg::key_exists(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HvUsbSam"))
        << "a machine without a folder starts fresh";
}

TEST_F(RegistryStore, ACorruptMachineFileIsReportedAndKept) {
    MachineFolder folder;
    folder.write("registry.txt", "hvsim registry 1\n[\\REGISTRY]\ngarbage\n");
    hvsim::kernel_shutdown();
    hvsim::KernelOptions options;
    options.root = folder.path();
    hvsim::kernel_boot(options);
    EXPECT_NE(reg::boot_load_error().find("line 3"), std::string::npos) << reg::boot_load_error();
    EXPECT_TRUE(hvsim::debug_log::contains("Registry: cannot load"));
    EXPECT_TRUE(reg::key_exists(u"HKLM\\SYSTEM\\CurrentControlSet\\Services")) << "runs on a fresh registry";
    EXPECT_EQ(reg::save(), STATUS_UNSUCCESSFUL);
    hvsim::kernel_shutdown();
    EXPECT_EQ(folder.read("registry.txt"), "hvsim registry 1\n[\\REGISTRY]\ngarbage\n");
    hvsim::kernel_boot({});
}

TEST_F(RegistryStore, BootAddsTheStandardKeysAFileLacks) {
    MachineFolder folder;
    folder.write("registry.txt", "hvsim registry 1\n[\\REGISTRY]\n[\\REGISTRY\\MACHINE\\SOFTWARE\\Own]\n");
    hvsim::kernel_shutdown();
    hvsim::KernelOptions options;
    options.root = folder.path();
    hvsim::kernel_boot(options);
    EXPECT_TRUE(reg::key_exists(u"HKLM\\SOFTWARE\\Own"));
    EXPECT_TRUE(reg::key_exists(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System"));
    EXPECT_TRUE(reg::key_exists(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"));
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
}

TEST_F(RegistryStore, LastWriteTimesComeFromTheClock) {
    int64_t now = 1000;
    reg::set_time_source([&] { return now; });
    ASSERT_EQ(reg::create_key(u"HKLM\\SOFTWARE\\Timed"), STATUS_SUCCESS);
    auto key = open(u"HKLM\\SOFTWARE\\Timed");
    reg::KeyInfo info;
    reg::query_key(key, &info);
    EXPECT_EQ(info.last_write_time, 1000);
    now = 2000;
    DWORD v = 1;
    reg::set_value(key, u"V", REG_DWORD, &v, 4);
    reg::query_key(key, &info);
    EXPECT_EQ(info.last_write_time, 2000);
    reg::query_key(open(u"HKLM\\SOFTWARE"), &info);
    EXPECT_EQ(info.last_write_time, 1000) << "the parent changed when the subkey was added";
    reg::set_time_source(nullptr);
}

} // namespace
