// The insertion policy: the one rule that says whether a field may receive inserted text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace caretsafe {

// The policy's own refusal reasons. Only the self-test ever sees them: at capture and insert
// time any refusal simply makes inspection give nothing.
inline constexpr std::string_view kRefusalSecureField = "secure-field";
inline constexpr std::string_view kRefusalUnsupportedField = "unsupported-field";
inline constexpr std::string_view kRefusalReadOnly = "read-only";
inline constexpr std::string_view kRefusalSelectionNotEmpty = "selection-not-empty";

inline constexpr std::string_view kSecureSubrole = "AXSecureTextField";
inline constexpr std::string_view kEditableRoles[] = {"AXTextField", "AXTextArea"};

// The first reason to refuse a field with this role, subrole, enabled and writable state and
// selection length, or nothing when it is acceptable. Pure. A secure subrole is refused
// before anything else is looked at; comparisons are exact and case-sensitive.
std::optional<std::string_view> refusal(std::string_view role, std::string_view subrole,
                                        bool enabled, bool writable, std::int64_t length);

}  // namespace caretsafe
