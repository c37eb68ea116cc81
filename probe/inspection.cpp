#include "probe/inspection.h"

#include "probe/policy.h"
#include "probe/web_field.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

// The attribute as text (UTF-8), or the empty text when it cannot be read or is no text.
std::string textOrEmpty(Platform& platform, const Element& element, std::string_view name) {
  const std::optional<AttributeValue> value = attr(platform, element, name);
  if (!value) return {};
  const auto* text = std::get_if<std::u16string>(&*value);
  return text != nullptr ? text::utf8FromUtf16(*text) : std::string();
}

constexpr std::string_view kComboBoxRole = "AXComboBox";
constexpr std::string_view kTextFieldRole = "AXTextField";

// Whether the field's selection may be set: a combo box that takes text lets its caret be
// placed, one that only picks from a list does not.
bool selectionSettable(Platform& platform, const Element& element) {
  const SettableAnswer answer = platform.isAttributeSettable(element, "AXSelectedTextRange");
  return answer.error == kAxSuccess && answer.settable;
}

// Whether an input method is composing in the field, as far as the field shows: a marked text
// range that is not empty. A field that offers no such range shows no composition.
bool composing(Platform& platform, const Element& element) {
  const std::optional<Range> marked =
      rangeOf(platform.copyAttributeValue(element, "AXMarkedTextRange"));
  return marked && marked->length != 0;
}

}  // namespace

std::optional<AttributeValue> attr(Platform& platform, const Element& element,
                                   std::string_view name) {
  AttributeRead read = platform.copyAttributeValue(element, name);
  if (read.error != kAxSuccess) return std::nullopt;
  return std::move(read.value);
}

std::optional<Range> rangeOf(const AttributeRead& read) {
  if (read.error != kAxSuccess) return std::nullopt;
  const auto* value = std::get_if<AxValue>(&read.value);
  if (value == nullptr || value->kind != kAxValueKindRange) return std::nullopt;
  return value->range;
}

std::optional<Range> selection(Platform& platform, const Element& element) {
  return rangeOf(platform.copyAttributeValue(element, "AXSelectedTextRange"));
}

std::optional<Inspection> inspect(Platform& platform, const Element& element, bool terminal,
                                  const TypingCheck& typing) {
  const SettableAnswer settable = platform.isAttributeSettable(element, "AXSelectedText");
  // A web field may report its selected text settable and still change nothing when it is
  // written, so this decides even then: such a field is only ever typed into.
  bool typed = false;
  bool lateWrite = false;
  if (typing.allowed && !terminal) {
    if (platform.typedOnly(element)) {
      typed = true;
    } else if (typing.webFields != WebFields::kNone && inWebArea(platform, element)) {
      typed = typing.webFields == WebFields::kTyped;
      lateWrite = typing.webFields == WebFields::kLateWrite;
    }
  }
  const bool canWrite = typed || writable(settable, terminal);
  // The policy refuses a field that is not writable whatever else it shows (only the reason
  // could differ), so nothing more is asked of it.
  if (!canWrite) return std::nullopt;

  const std::optional<Range> selected = selection(platform, element);
  if (!selected) return std::nullopt;

  std::string role = textOrEmpty(platform, element, "AXRole");
  // A web page's text combo box (an input with a list of suggestions) takes text like a text
  // field; a combo box that only picks from a list (its selection not settable) does not.
  if (typed && role == kComboBoxRole && selectionSettable(platform, element)) role = kTextFieldRole;
  const std::string subrole = textOrEmpty(platform, element, "AXSubrole");
  bool enabled = false;
  if (const std::optional<AttributeValue> value = attr(platform, element, "AXEnabled")) {
    if (const auto* flag = std::get_if<bool>(&*value)) enabled = *flag;
  }

  if (refusal({.role = role,
               .subrole = subrole,
               .enabled = enabled,
               .writable = canWrite,
               .selectionLength = selected->length})) {
    return std::nullopt;
  }

  if (typed && composing(platform, element)) return std::nullopt;

  std::optional<AttributeValue> value = attr(platform, element, "AXValue");
  if (!value) return std::nullopt;
  auto* text = std::get_if<std::u16string>(&*value);
  if (text == nullptr || text->size() > kMaxFieldUnits) return std::nullopt;
  if (selected->location < 0 || static_cast<std::uint64_t>(selected->location) > text->size()) {
    return std::nullopt;
  }
  return Inspection{std::move(*text), Range{selected->location, 0}, typed, lateWrite};
}

}  // namespace caretsafe
