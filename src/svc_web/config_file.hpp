/*
 * config_file.hpp - the card's settings as a file, and the factory reset.
 *
 * The configuration file ("config/system_config.csv", downloaded as
 * "system_config.csv") is a header line in the card's module language, then
 * one line per setting: identifier, key, value, type (1 text, 0 integer).
 * The identifiers are labels: the importer only checks their range. The
 * lines come from one table (fileLines(), config_file.cpp) in the order the
 * file has always had; the card's newer settings follow it under identifiers
 * the table left free, so that a file carries every setting the factory reset
 * puts back (export, reset, import gives the card it had).
 *
 * Import takes a line only when its identifier lies in 1000..1550, its type
 * is 0 or 1 and its key is one the file defines, and only when the value
 * passes the checks the settings pages apply to that setting (levels, ports,
 * addresses). A refused line keeps the stored value and is reported.
 *
 * The factory reset (factory.cpp) stores the defaults of factoryDefaults(),
 * removes the record databases and CSV exports, and reboots the card. The
 * network addresses and the cloud serial number stay as they are.
 */
#pragma once

#include "card_runtime.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace web::config
{

constexpr const char* kFile = "config/system_config.csv";
constexpr const char* kDownloadName = "system_config.csv";
constexpr int kFirstId = 1000;
constexpr int kLastId = 1550;
constexpr size_t kMaxLine = 200;          // longest line the importer reads
constexpr size_t kMaxUpload = 256 * 1024; // a full file is about 25 KiB

enum Type : int { Integer = 0, Text = 1 };

struct Line {
    int id;
    std::string key;
    Type type;
};

// Every line of the file, in file order.
const std::vector<Line>& fileLines();
// The line that carries `key`; nullptr for keys the file does not define.
const Line* lineFor(std::string_view key);

// The header (with its "\n") for a "Module_Language" value: GBK for 0 to 2,
// UTF-8 for 3 and 4; any other value gets the English one.
std::string header(int language);

// The whole file from the settings of `rt`.
std::string exportText(card::Runtime& rt);

// One parsed line. A value may hold commas (everything between the key and
// the type); trailing empty columns, as spreadsheets add, are dropped.
struct Parsed {
    int id = 0;
    std::string key;
    std::string value;
    int type = -1;
};
std::optional<Parsed> parseLine(std::string_view line);

struct ImportResult {
    int stored = 0;                   // settings written
    int ignored = 0;                  // lines outside the rules (range, type, key)
    std::vector<std::string> refused; // keys whose value the pages' checks refuse
};

// Applies a file's text (header line first) to the settings of `rt`.
ImportResult importText(card::Runtime& rt, std::string_view text);

// Whether `value` may be stored under `key` as an import would: the pages'
// field checks, plus the rules that span settings (the web port against the
// ports the card's services hold; addresses of the static network setup).
// `pending` holds the file's other values, which win over stored ones.
bool importAcceptable(card::Runtime& rt, const std::string& key, const std::string& value,
                      const std::vector<std::pair<std::string, std::string>>& pending);

// Writes config/system_config.csv anew; false when it cannot be written.
bool writeConfigFile(card::Runtime& rt);
// Imports config/system_config.csv: 4 when it does not exist, 1 otherwise.
int readConfigFile(card::Runtime& rt, ImportResult* result = nullptr);

// ---- factory reset (factory.cpp) ----

struct Default {
    std::string key;
    std::string value;
};
// The factory settings, in the order they are stored.
const std::vector<Default>& factoryDefaults();
// Stores the defaults into `rt`.
void applyFactoryDefaults(card::Runtime& rt);
// Removes the record databases and the CSV exports under data/.
void removeRecords();
// Defaults, records, then a reboot: at once, or after `delayMs` on a side
// thread so that an answer can leave first.
void factoryReset(int delayMs);
// Reboots the card after `delayMs` (0: now).
void rebootAfter(int delayMs);

} // namespace web::config
