// A device's property pages, as Device Manager gathers them (SetupDiGetClassDevPropertySheetsW):
// the pages that the class installer and co-installers add for DIF_ADDPROPERTYPAGE_ADVANCED,
// then those of the EnumPropPages32 provider, asked with SP_PROPSHEETPAGE_REQUEST through an
// add-page callback. The provider library is the set's until the set is destroyed, since its
// pages call into it for as long as they live.
#include <setupapi.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "internal/setupapi_platform.h"
#include "internal/setupapi_sets.h"
#include "internal/user_internal.h"

using namespace hvsim;
using namespace hvsim::user;
using namespace hvsim::user::setup;

namespace {

bool fail(DWORD error) {
    set_last_error(error);
    return false;
}

// The window system makes and frees pages; SetupAPI finds it the way it is loaded on Windows,
// late and only when pages are there to free.
void destroy_page(HPROPSHEETPAGE page) {
    using Destroy = BOOL(WINAPI*)(HPROPSHEETPAGE);
    static auto destroy = reinterpret_cast<Destroy>(dlsym(RTLD_DEFAULT, "DestroyPropertySheetPage"));
    if (destroy)
        destroy(page);
    else
        debugger_output("SETUP: a property page cannot be freed without the window system\n");
}

// The header's page list as the callback fills it.
struct PageList {
    LPPROPSHEETHEADERW header;
    DWORD capacity;
    DWORD refused = 0; // pages that did not fit
};

BOOL CALLBACK add_page(HPROPSHEETPAGE page, LPARAM data) {
    auto* list = reinterpret_cast<PageList*>(data);
    if (!page || !list) return FALSE;
    if (list->header->nPages >= list->capacity) {
        ++list->refused;
        return FALSE; // the provider frees what was refused
    }
    list->header->phpage[list->header->nPages++] = page;
    return TRUE;
}

// Pages from the class installer and co-installers: they append to the class install
// parameters, which are taken back afterwards. Pages that do not fit are freed here, since no
// one else holds them.
void installer_pages(HDEVINFO set, PSP_DEVINFO_DATA data, DI_FUNCTION function, PageList& list, DeviceInfoSet& owner,
                     const Element& element) {
    // Their pages call into them: the libraries stay loaded with the set.
    for (const auto& file : installer_libraries(element))
        if (HMODULE module = LoadLibraryW(file.c_str())) owner.page_providers.push_back(module);
    SP_ADDPROPERTYPAGE_DATA params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = function;
    params.hwndWizardDlg = list.header->hwndParent;
    if (!SetupDiSetClassInstallParamsW(set, data, &params.ClassInstallHeader, sizeof params)) return;
    if (!SetupDiCallClassInstaller(function, set, data))
        debugger_output("SETUP: the installers failed the property-page request (" + std::to_string(GetLastError()) +
                        "); their pages are shown all the same\n");
    SP_ADDPROPERTYPAGE_DATA added{};
    DWORD size = 0;
    if (SetupDiGetClassInstallParamsW(set, data, &added.ClassInstallHeader, sizeof added, &size) &&
        added.ClassInstallHeader.InstallFunction == function) {
        const DWORD count = std::min<DWORD>(added.NumDynamicPages, MAX_INSTALLWIZARD_DYNAPAGES);
        for (DWORD i = 0; i < count; ++i)
            if (added.DynamicPages[i] && !add_page(added.DynamicPages[i], LPARAM(&list)))
                destroy_page(added.DynamicPages[i]);
    }
    SetupDiSetClassInstallParamsW(set, data, nullptr, 0);
}

// The provider that the device's driver key names; the class key's serves a device that names
// none, as on Windows.
std::u16string provider_of(const Element& element) {
    if (std::u16string driver = driver_key_path(element.instance_id); !driver.empty())
        if (auto spec = devices::read_string(driver, u"EnumPropPages32"); spec && !spec->empty()) return *spec;
    const GUID none{};
    if (std::memcmp(&element.class_guid, &none, sizeof(GUID)) != 0)
        if (auto spec = devices::read_string(
                std::u16string(kClassRoot) + u"\\" + devices::guid_text(element.class_guid), u"EnumPropPages32"))
            return *spec;
    return {};
}

} // namespace

BOOL WINAPI SetupDiGetClassDevPropertySheetsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              LPPROPSHEETHEADERW PropertySheetHeader,
                                              DWORD PropertySheetHeaderPageListSize, PDWORD RequiredSize,
                                              DWORD PropertySheetType) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    if (PropertySheetType == DIGCDP_FLAG_REMOTE_BASIC || PropertySheetType == DIGCDP_FLAG_REMOTE_ADVANCED)
        return fail(ERROR_INVALID_FLAGS);
    if (PropertySheetType != DIGCDP_FLAG_BASIC && PropertySheetType != DIGCDP_FLAG_ADVANCED)
        return fail(ERROR_INVALID_FLAGS);
    if (!PropertySheetHeader || PropertySheetHeader->dwSize < PROPSHEETHEADERW_V1_SIZE)
        return fail(ERROR_INVALID_PARAMETER);
    // The list holds page handles, not page descriptions.
    if (PropertySheetHeader->dwFlags & PSH_PROPSHEETPAGE) return fail(ERROR_INVALID_FLAGS);
    if (PropertySheetHeader->nPages > PropertySheetHeaderPageListSize ||
        (PropertySheetHeaderPageListSize && !PropertySheetHeader->phpage))
        return fail(ERROR_INVALID_USER_BUFFER);
    // Advanced pages are a device's; a class's own pages are basic ones.
    std::shared_ptr<Element> element;
    if (DeviceInfoData) {
        element = lookup_element(set, DeviceInfoData);
        if (!element) return FALSE;
    } else if (PropertySheetType == DIGCDP_FLAG_ADVANCED) {
        return fail(ERROR_INVALID_PARAMETER);
    }

    const bool advanced = PropertySheetType == DIGCDP_FLAG_ADVANCED;
    PageList list{PropertySheetHeader, PropertySheetHeaderPageListSize};
    if (element)
        installer_pages(DeviceInfoSet, DeviceInfoData,
                        advanced ? DIF_ADDPROPERTYPAGE_ADVANCED : DIF_ADDPROPERTYPAGE_BASIC, list, *set, *element);

    if (element) {
        if (std::u16string spec = provider_of(*element); !spec.empty()) {
            HMODULE module = nullptr;
            FARPROC entry = nullptr;
            if (load_library_entry(spec, "EnumPropPages", &module, &entry)) {
                set->page_providers.push_back(module);
                SP_PROPSHEETPAGE_REQUEST request{
                    sizeof(SP_PROPSHEETPAGE_REQUEST),
                    DWORD(advanced ? SPPSR_ENUM_ADV_DEVICE_PROPERTIES : SPPSR_ENUM_BASIC_DEVICE_PROPERTIES),
                    DeviceInfoSet, DeviceInfoData};
                auto provider = reinterpret_cast<PROPERTY_PAGE_PROVIDER>(reinterpret_cast<void (*)()>(entry));
                if (!provider(&request, add_page, LPARAM(&list)))
                    debugger_output("SETUP: the property-page provider " + to_utf8(spec) + " added no page\n");
            }
        }
    }

    if (RequiredSize) *RequiredSize = PropertySheetHeader->nPages + list.refused;
    if (list.refused) return fail(ERROR_INSUFFICIENT_BUFFER);
    set_last_error(NO_ERROR);
    return TRUE;
}
