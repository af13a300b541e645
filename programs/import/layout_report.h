#pragma once
// The layout check's findings as JSON, for asset pipelines: the totals, then
// each mesh by its name.

#include <lumivex/layout.h>

#include <string>
#include <vector>

namespace lumivex {

// `names`: one per mesh of the report, as written (any bytes: what is not
// well-formed UTF-8 becomes U+FFFD, so the report is always valid JSON).
std::string layoutReportJson(const LayoutReport& report, const std::vector<std::string>& names,
                             const std::string& model);

}  // namespace lumivex
