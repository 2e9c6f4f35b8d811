/*
 * fieldcore.hpp - C++ conveniences over the runtime's C interface, for our own
 * plug-ins. Nothing here is exported; it only wraps fieldcore.h.
 */
#pragma once

#include "fieldcore.h"

#include <string>
#include <string_view>

namespace fieldcore {

// Settings as std::string (copied out of the runtime's buffers at once).
inline std::string settingText(const char* key, const char* def = "")
{
    const char* v = GetSettings2(key, def);
    return v ? std::string(v) : std::string(def);
}

// Reads the text of a 16-signal identification block (one character per signal).
std::string signalText(int devId, int base, int count = 16);

// Local time text "%04d-%02d-%02d %02d:%02d:%02d" of t (now when t < 0).
std::string timeText(long long t = -1);

// Tests only: point the settings store at appDir/config, forget every signal,
// event handler and callback. Never called by the card itself.
void resetForTests(const std::string& appDir);

} // namespace fieldcore
