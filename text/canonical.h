// Text equality by Unicode canonical equivalence.
#pragma once

#include <string_view>

namespace caretsafe::text {

// Whether two texts are canonically equivalent: equal code units, or identical NFC forms.
// Normalisation runs only when the code units differ. An unpaired surrogate (which a text
// read from another application can hold) has no decomposition: it must stand in both texts,
// in the same order, and the pieces between are compared by their NFC forms. Fails closed:
// if normalisation cannot be done, the texts count as different.
bool canonicallyEqual(std::u16string_view a, std::u16string_view b);

}  // namespace caretsafe::text
