#pragma once

// mitu-check's report as one JSON object (the schema: docs/report.md).

#include "cli/check_report.h"

#include <ostream>

namespace check {

void writeJson(std::ostream& out, const Report& report, bool ok);

} // namespace check
