// The parts every test INF repeats: the head naming its class and maker, and the service of a
// test driver. The sections that make each INF what it is stay in its test, written out.
#pragma once

#include <string>
#include <string_view>

namespace hvtest::inf {

inline constexpr std::string_view kTestCardClass = "HvTestCard";
inline constexpr std::string_view kTestCardClassGuid = "{6A1F3B52-0C7E-4D19-8E41-7B2D903C55A8}";
inline constexpr std::string_view kPortsClass = "Ports";
inline constexpr std::string_view kPortsClassGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

// A "; comment" line, then [Version] and [Manufacturer] of an INF by %Prov% whose models are
// in [Models.NTamd64].
inline std::string head(std::string_view comment, std::string_view class_name, std::string_view class_guid) {
    std::string text;
    if (!comment.empty()) (text += "; ").append(comment) += '\n';
    text += "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=";
    (text += class_name) += "\nClassGuid=";
    text += class_guid;
    text += "\nProvider=%Prov%\nDriverVer=01/02/2024,1.0.0.0\n\n[Manufacturer]\n%Prov%=Models,NTamd64\n\n";
    return text;
}

// A service-install section for a kernel driver image in %12%, started on demand; the display
// name is a string key ("Desc" for %Desc%).
inline std::string service(std::string_view section, std::string_view display_key, std::string_view image) {
    std::string text;
    (text += '[').append(section) += "]\n";
    ((text += "DisplayName    = %").append(display_key) += "%\n");
    text += "ServiceType    = 1\nStartType      = 3\nErrorControl   = 1\n";
    ((text += "ServiceBinary  = %12%\\").append(image) += "\n\n");
    return text;
}

} // namespace hvtest::inf
