// A service's answer to a read, as the outcome the hand-over checks judge:
// the code, or 0 and the track texts.
#pragma once

#include "handover.h"
#include "harness.h"

#include <optional>

namespace svctest {

inline sdtest::ReadOutcome outcomeOf(const std::optional<json> &answer)
{
    sdtest::ReadOutcome out;
    if (!answer)
        return out; // 99: no answer at all
    if ((*answer).value("ok", false)) {
        out.rc = SD_OK;
        // A track not asked for comes as null.
        auto text = [&answer](const char *key) {
            const json &track = (*answer)[key];
            return track.is_string() ? track.get<std::string>() : std::string();
        };
        out.track2 = text("track2");
        out.track3 = text("track3");
    } else {
        out.rc = (*answer).value("code", 98);
    }
    return out;
}

} // namespace svctest
