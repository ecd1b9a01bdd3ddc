#include "fleet/record_view.h"

#include "fleet/image_file.h"
#include "fleet/json_text.h"
#include "fleet/report.h"

namespace {

using json = nlohmann::ordered_json;

constexpr const char* RECORD_COLUMNS[] = {"mac",
                                          "name",
                                          "revision_before",
                                          "revision_after",
                                          "result",
                                          "error",
                                          "error_code",
                                          "detail",
                                          "attempts",
                                          "bytes",
                                          "seconds",
                                          "bytes_per_second",
                                          "station",
                                          "claimed_at",
                                          "ended_at",
                                          "serial_number",
                                          "model_number",
                                          "image_name",
                                          "image_bytes",
                                          "image_crc32",
                                          "expected_revision",
                                          "model"};

json history_json(const std::vector<attempt_entry>& history) {
  json entries = json::array();
  for (const attempt_entry& entry : history) {
    entries.push_back({{"attempt", entry.number},
                       {"station", text_or_null(entry.station)},
                       {"started", text_or_null(entry.started)},
                       {"ended", text_or_null(entry.ended)},
                       {"result", text_or_null(entry.result)},
                       {"error", text_or_null(entry.error)}});
  }
  return entries;
}

}  // namespace

json record_json(const campaign_entry& campaign, const std::vector<record_row>& rows) {
  json document;
  document["campaign"] = {{"image_name", campaign.facts.image_name},
                          {"image_bytes", campaign.facts.image_bytes},
                          {"image_crc32", crc32_text(campaign.facts.image_crc32)},
                          {"expected_revision", text_or_null(campaign.facts.expected_revision)},
                          {"model", text_or_null(campaign.facts.model)},
                          {"created", text_or_null(campaign.created)}};
  document["devices"] = json::array();
  for (const record_row& record : rows) {
    json row = row_json(record.row);
    row["result"] = record_state_name(record.state);
    row["station"] = text_or_null(record.station);
    row["claimed_at"] = text_or_null(record.claimed_at);
    row["ended_at"] = text_or_null(record.ended_at);
    row["serial_number"] = text_or_null(record.serial_number);
    row["model_number"] = text_or_null(record.model_number);
    row["attempts"] = record.history.size();
    row["history"] = history_json(record.history);
    document["devices"].push_back(std::move(row));
  }
  return document;
}

std::string record_csv(const campaign_entry& campaign, const std::vector<record_row>& rows) {
  std::vector<std::vector<std::string>> lines;
  lines.emplace_back(std::begin(RECORD_COLUMNS), std::end(RECORD_COLUMNS));
  for (const record_row& record : rows) {
    device_row row = record.row;
    row.attempts = static_cast<int>(record.history.size());
    std::vector<std::string> cells = row_csv_cells(row);
    cells[4] = record_state_name(record.state);
    cells.insert(
        cells.end(),
        {csv_text_cell(record.station), record.claimed_at, record.ended_at,
         csv_text_cell(record.serial_number), csv_text_cell(record.model_number),
         csv_text_cell(campaign.facts.image_name), std::to_string(campaign.facts.image_bytes),
         crc32_text(campaign.facts.image_crc32), csv_text_cell(campaign.facts.expected_revision),
         csv_text_cell(campaign.facts.model)});
    lines.push_back(std::move(cells));
  }
  return csv_document(lines);
}
