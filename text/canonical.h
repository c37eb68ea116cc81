// Text equality by Unicode canonical equivalence.
#pragma once

#include <string_view>

namespace caretsafe::text {

// Whether two texts are canonically equivalent: equal code units, or identical NFC forms.
// Normalisation runs only when the code units differ. A text holding an unpaired surrogate
// is not valid Unicode and has no canonical form: it equals only its exact code units.
// Fails closed: if normalisation cannot be done, the texts count as different.
bool canonicallyEqual(std::u16string_view a, std::u16string_view b);

}  // namespace caretsafe::text
