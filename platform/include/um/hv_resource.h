// Resources of an image: what a resource script compiles into a Windows image. An image declares
// its string table in one of its sources; the table is part of the image, is registered with
// the loader when the image is loaded and dropped when it is unloaded, so that LoadString finds
// it by the image's module handle (the hInstance of DllMain, or NULL for the program's own image):
//
//   HV_STRINGTABLE_BEGIN
//       HV_STRING(IDS_RENAME_FAILED, u"There was an error renaming the COM port.")
//   HV_STRINGTABLE_END
//
// In a static library the table goes into a source that the image uses anyway (the one that
// loads the strings), since the linker takes only the objects something refers to.
#pragma once

#include <windef.h>

typedef struct HV_STRING_RESOURCE {
    UINT Id; // 0 to 65535, each once per image
    LPCWSTR Text;
} HV_STRING_RESOURCE;

HV_EXTERN_C_BEGIN

// Called by the image's declared table as the loader maps and unmaps the image.
HV_API void WINAPI HvRegisterImageStrings(const HV_STRING_RESOURCE* table, SIZE_T count);
HV_API void WINAPI HvUnregisterImageStrings(const HV_STRING_RESOURCE* table);

HV_EXTERN_C_END

#define HV_STRINGTABLE_BEGIN                                                                                         \
    namespace {                                                                                                      \
    const HV_STRING_RESOURCE hv_image_string_table[] = {
#define HV_STRING(id, text) {(id), (text)},
#define HV_STRINGTABLE_END                                                                                           \
    }                                                                                                                \
    ;                                                                                                                \
    struct HvImageStringTable {                                                                                      \
        HvImageStringTable() {                                                                                       \
            HvRegisterImageStrings(hv_image_string_table,                                                            \
                                   sizeof hv_image_string_table / sizeof hv_image_string_table[0]);                  \
        }                                                                                                            \
        ~HvImageStringTable() { HvUnregisterImageStrings(hv_image_string_table); }                                   \
    } const hv_image_string_table_registration;                                                                      \
    }
