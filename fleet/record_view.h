// A campaign's record as `record show` gives it: the batch report's fields
// for each device (its `result` the record's state) with the station that
// dealt with it and when, in JSON or in CSV with the report's rules.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet/record_store.h"

nlohmann::ordered_json record_json(const campaign_entry& campaign,
                                   const std::vector<record_row>& rows);
std::string record_csv(const campaign_entry& campaign, const std::vector<record_row>& rows);
