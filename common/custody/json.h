// JSON texts that carry card data (a read's answer) without leaving copies:
// json::dump() grows its string step by step, and every step frees a block
// that still holds the text so far. Printed here into room reserved once,
// the only copy is the one handed back, which the caller wipes once it is
// sent (wipe.h).
#pragma once

#include "wipe.h"

#include <nlohmann/json.hpp>

#include <string>

namespace sdcustody {

// value.dump(-1, ' ', false, error_handler_t::replace), printed into `room`
// bytes reserved at once (a longer text still comes out whole), as a
// std::string or a WipedString.
template <class Json, class String = std::string>
String dumpJson(const Json &value, std::size_t room = 4096)
{
    String text;
    text.reserve(room);
    nlohmann::detail::serializer<Json> printer(
        nlohmann::detail::output_adapter<char, String>(text), ' ',
        Json::error_handler_t::replace);
    printer.dump(value, false, false, 0);
    return text;
}

} // namespace sdcustody
