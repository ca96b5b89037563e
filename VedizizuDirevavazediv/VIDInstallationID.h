#pragma once
// The installation identifier's textual form: 22 characters of the URL-safe base64 alphabet
// ("A"-"Z", "a"-"z", "0"-"9", "-", "_"), carrying 132 bits from the system's secure generator.

#include <optional>
#include <string>
#include <string_view>

inline constexpr size_t kVIDInstallationIDLength = 22;

// A fresh identifier; none (and errorText filled when given) when the secure generator fails.
std::optional<std::string> VIDGenerateInstallationID(std::string* errorText = nullptr);

// Exactly kVIDInstallationIDLength characters, all of the URL-safe alphabet.
bool VIDIsValidInstallationID(std::string_view text);
