// GUIDs as registry-form text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
//
//   RtlStringFromGUID RtlGUIDFromString
#include <hvsim/pool.h>
#include <wdm.h>

namespace {

constexpr ULONG string_tag = hvsim::pool::tag_from_text("Strg");
constexpr size_t guid_characters = 38;

// The hex digits of the text in order, with the positions of the separators.
constexpr const char* layout = "{........-....-....-....-............}";

int hex_value(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

} // namespace

HV_EXTERN_C_BEGIN

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    if (!GuidString) return STATUS_INVALID_PARAMETER;
    size_t bytes = (guid_characters + 1) * sizeof(WCHAR);
    auto* buffer = (PWSTR)hvsim::pool::allocate(PagedPool, bytes, string_tag, __builtin_return_address(0));
    if (!buffer) return STATUS_NO_MEMORY;
    uint8_t raw[16];
    for (int i = 0; i < 4; ++i) raw[i] = (uint8_t)(Guid.Data1 >> (24 - 8 * i));
    raw[4] = (uint8_t)(Guid.Data2 >> 8), raw[5] = (uint8_t)Guid.Data2;
    raw[6] = (uint8_t)(Guid.Data3 >> 8), raw[7] = (uint8_t)Guid.Data3;
    for (int i = 0; i < 8; ++i) raw[8 + i] = Guid.Data4[i];
    size_t nibble = 0;
    for (size_t i = 0; i < guid_characters; ++i) {
        if (layout[i] != '.') {
            buffer[i] = (WCHAR)layout[i];
            continue;
        }
        uint8_t byte = raw[nibble / 2];
        buffer[i] = (WCHAR) "0123456789ABCDEF"[nibble % 2 ? byte & 0xF : byte >> 4];
        ++nibble;
    }
    buffer[guid_characters] = 0;
    GuidString->Buffer = buffer;
    GuidString->Length = (USHORT)(guid_characters * sizeof(WCHAR));
    GuidString->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    if (!GuidString || !Guid || !GuidString->Buffer || GuidString->Length != guid_characters * sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    uint8_t raw[16] = {};
    size_t nibble = 0;
    for (size_t i = 0; i < guid_characters; ++i) {
        WCHAR c = GuidString->Buffer[i];
        if (layout[i] != '.') {
            if (c != (WCHAR)layout[i]) return STATUS_INVALID_PARAMETER;
            continue;
        }
        int v = hex_value(c);
        if (v < 0) return STATUS_INVALID_PARAMETER;
        raw[nibble / 2] = (uint8_t)(raw[nibble / 2] | (nibble % 2 ? v : v << 4));
        ++nibble;
    }
    Guid->Data1 = (ULONG)raw[0] << 24 | (ULONG)raw[1] << 16 | (ULONG)raw[2] << 8 | raw[3];
    Guid->Data2 = (USHORT)(raw[4] << 8 | raw[5]);
    Guid->Data3 = (USHORT)(raw[6] << 8 | raw[7]);
    for (int i = 0; i < 8; ++i) Guid->Data4[i] = raw[8 + i];
    return STATUS_SUCCESS;
}

HV_EXTERN_C_END
