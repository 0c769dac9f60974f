#pragma once

#include "ApplianceTypes.h"
#include "StandInAppliance.h"

#include <string>

namespace standin {

// The test controls over plain HTTP, for a stand-in running in another process. Reads are
// GET, changes POST; parameters come in the query or a form body; answers are JSON, with
// {"error": "..."} and status 400 for a request that cannot be carried out.
Answer controlAnswer(const std::string& method, const std::string& path, const QueryParams& params,
                     StandInAppliance& appliance);

} // namespace standin
