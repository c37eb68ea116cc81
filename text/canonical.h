// Text equality by Unicode canonical equivalence.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace caretsafe::text {

// Whether two texts are canonically equivalent: equal code units, or identical NFC forms.
// Normalisation runs only when the code units differ. An unpaired surrogate (which a text
// read from another application can hold) has no decomposition: it must stand in both texts,
// in the same order, and the pieces between are compared by their NFC forms. Fails closed:
// if normalisation cannot be done, the texts count as different.
bool canonicallyEqual(std::u16string_view a, std::u16string_view b);

// The text in Unicode normalisation form D. An unpaired surrogate stays as it is and the
// pieces around it are decomposed on their own, as `canonicallyEqual` compares them. None when
// normalisation cannot be done.
std::optional<std::u16string> decomposed(std::u16string_view text);

}  // namespace caretsafe::text
