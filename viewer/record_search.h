// Local record search: which record files exist for one day, on every fixed
// and network drive, under "X:\Record\Normal\<day>" and "X:\Record\Alarm\<day>".
#pragma once

#include <optional>
#include <string>

namespace quorvex {

// `request` is "%04d-%02d-%02d-%d" (year, month, day, kind: 1 normal, 2 alarm,
// else both). The result is ";" followed by each found file's full path and
// ";"; nullopt for a malformed request (no event is fired then).
std::optional<std::string> SearchRecordFiles(const std::string& request);

}  // namespace quorvex
