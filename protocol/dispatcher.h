// The command dispatcher: routes one request object by its "action".
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "insertion/target.h"
#include "platform/platform.h"

namespace caretsafe {

// The request's "action" when it is a JSON string; the empty string otherwise.
std::string_view actionWord(const nlohmann::json& request);

// Turns a request object into a response object; never fails. "clear" and "status" need no
// permission; every other action first passes the permission gate (asked afresh, at most once
// per request), and a refused gate clears the slot. A capture or insert during which an
// accessibility request answered kAXErrorAPIDisabled is refused and clears the slot the same
// way, unless its answer is "write-unconfirmed" (something may have been delivered). Reads
// "action", and for an insert its "token" and "text" (a member that is not a JSON string counts as
// absent); neither reads nor writes "requestId".
nlohmann::json handle(const nlohmann::json& request, Platform& platform, TargetSlot& target);

}  // namespace caretsafe
