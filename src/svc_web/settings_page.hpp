/*
 * settings_page.hpp - the one shape of every settings page.
 *
 * A settings page is a table of fields. Each field names its form field (also
 * the JSON member of the read), the settings key it is stored under, how the
 * page value becomes the stored value (a conversion), the default shown while
 * the setting is unset, a few flags and the server's own check. Then:
 *
 *   read  = one JSON object, a member per field, filled from the settings;
 *   write = walk the fields in table order: check every present field first
 *           (one refused field refuses the whole write and saves nothing),
 *           then save, log "name : value" (secrets as "******") and note the
 *           changes. The handler posts the events and picks the answer.
 *
 * Declaring a page (keep the table in the order of the page's fields):
 *
 *   namespace sp = web::settings;
 *   const sp::Page& upsPage()
 *   {
 *       static const sp::Page page({
 *           {"ups_type", "ups_type", sp::Int, "0", sp::kRestart, sp::range(0, 99)},
 *           {"ups_com_addr", "ups_addr", sp::Int, "1"},
 *           {"baudrate", "ups_baudRate", sp::Baud},        // serial tables
 *           {"bat_change_time", nullptr, sp::Text},        // key nullptr: the field's name
 *           {"login_pass", "ddn_login_pass", sp::Text, "", sp::kSecret},
 *           {"config_ip", nullptr, sp::Text, "", 0, sp::ipv4},   // a check of the text
 *       });
 *       return page;
 *   }
 *   // "Lists": fields repeated with a number, the name and key hold one %d.
 *   const sp::Page kThsPage = sp::Page({...}).list({{"in_thaddr%d"}, {"in_temph%d"}}, 1, 4);
 *
 * Declare pages at namespace scope (built when the plug-in loads): every page
 * registers itself, so a configuration import can run a stored value through
 * the same checks as its page (storedValueAcceptable) before any page opened.
 *
 *   void handler(const Request& req, Reply& reply)
 *   {
 *       if (!req.isPost()) {                      // read
 *           auto doc = upsPage().read(req);       // secrets only for administrators
 *           cJSON_AddNumberToObject(doc.get(), "product_version", 1);
 *           sp::sendPage(reply, doc.get());
 *           return;
 *       }
 *       sp::Write w = upsPage().write(req);       // checked, saved, logged
 *       if (sp::refused(reply, w)) return;        // {"result":"fail","errmsg":"field"}
 *       resultOk(reply, w.restart ? sp::kAnswerRestart : sp::kAnswerSaved);
 *   }
 *
 * Conversions: Int (whole number, optional range), Float, Text (no control
 * characters unless kMultiline), the serial tables Baud (index 0-7 <->
 * 1200..115200), DataBits (5-8), Parity (index 0-4), StopBits (1 or 2). A
 * serial value outside its table leaves the setting as it is (not refused).
 *
 */
#pragma once

#include "web.hpp"

#include <cjson/cJSON.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace web::settings
{

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
inline Json object()
{
    return Json(cJSON_CreateObject(), cJSON_Delete);
}

enum Conv : unsigned char { Int, Float, Text, Baud, DataBits, Parity, StopBits };

// Field flags.
constexpr unsigned kRestart = 1;     // a change needs a restart (Write::restart)
constexpr unsigned kAbsentEmpty = 2; // an absent field stores the empty text
constexpr unsigned kSecret = 4;      // password: read by administrators only, never logged;
                                     // an absent or empty field keeps the stored one
constexpr unsigned kReadOnly = 8;    // read member only, never written by the page
constexpr unsigned kMultiline = 16;  // a text that may hold line breaks (never a setting
                                     // that lands in a file line or a command)
constexpr unsigned kNumberText = 32; // Int stored and read as its text (read member "5")

// The server's check of a page value (after form decoding).
using Check = bool (*)(std::string_view);

struct Range {
    long long min = 0, max = -1; // max < min: any value
};
constexpr Range range(long long min, long long max)
{
    return Range{min, max};
}

struct Field {
    const char* name;          // form field and JSON member
    const char* key = nullptr; // settings key; nullptr: the field's name
    Conv conv = Text;
    const char* def = ""; // shown while the setting is unset
    unsigned flags = 0;
    Check check = nullptr; // extra check of the page value (texts and numbers)
    Range limits = {};     // Int and Float: accepted range
    size_t size = 0;       // longest value + 1 (form buffer); 0: kFieldBuffer
};

// What a write did.
struct Write {
    std::string refusedField;         // first refused field; empty when accepted
    std::vector<std::string> changed; // settings keys whose stored text changed
    std::vector<std::string> present; // fields present in the request
    bool restart = false;             // a kRestart field changed
    bool refused() const { return !refusedField.empty(); }
    bool changedKey(std::string_view key) const;
    bool any() const { return !changed.empty(); }
};

class Page
{
  public:
    Page(std::initializer_list<Field> fields);
    ~Page();
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    Page(Page&& other) noexcept;

    // Adds the fields of `pattern` for n = from..to, in n-major order
    // (a1 b1 a2 b2 ...); names and keys hold one "%d".
    Page& list(std::initializer_list<Field> pattern, int from, int to) &;
    Page&& list(std::initializer_list<Field> pattern, int from, int to) &&;

    // One JSON object: a member per readable field. Secret fields carry their
    // value only for administrators (an empty text for everyone else).
    Json read(const Request& req) const;
    // Adds the page's members to `doc` (pages that carry another's members).
    void readInto(cJSON* doc, const Request& req) const;

    // Checks, then saves the present fields (see the top of this file).
    Write write(const Request& req) const;
    // Checks without saving: the first refused field's name, empty when all pass.
    std::string check(const Request& req) const;

    struct Entry;
    const std::vector<Entry>& entries() const { return entries_; }

  private:
    std::vector<Entry> entries_;
};

// True when `value` may be stored under settings key `key` by the rules of
// the registered page field that stores it; also true for keys no page owns.
bool storedValueAcceptable(std::string_view key, std::string_view value);
// True when some registered page stores `key`.
bool pageOwnsKey(std::string_view key);

// ---- answers ----

// Result codes of resultOk (the document's "result" member in quotes).
constexpr int kAnswerOk = 1;         // "ok"
constexpr int kAnswerSaved = 100;    // "1": saved, nothing needs a restart
constexpr int kAnswerRestart = 200;  // "2": saved, a restart applies it (or refused where said)
constexpr int kAnswerSwitched = 300; // "0": saved, a conflicting service switched off
constexpr int kAnswerRefused = 0;    // "fail", errmsg names the refused field

// Sends a refused write ({"result":"fail","errmsg":<field>}) and returns true
// when `w` was refused.
bool refused(Reply& reply, const Write& w);
// The read answer: the document as compact JSON with its length (no chunks).
void sendPage(Reply& reply, const cJSON* doc);

// ---- uploads ----

// The first file of a multipart/form-data body: its base name (whatever
// path the browser sent is dropped) and its bytes. nullopt when the body is
// not such an upload, the name is empty, ".", ".." or holds a control
// character, or the file is larger than `maxBytes`.
struct Upload {
    std::string name;
    std::string data;
};
std::optional<Upload> uploadedFile(const Request& req, size_t maxBytes);

// ---- serial line tables ----

// Page index text of a stored value ("" when not in the table).
std::string serialIndex(Conv table, int stored);
// Stored value of a page index; nullopt outside the table.
std::optional<int> serialValue(Conv table, std::string_view index);

// ---- checks of page values ----

bool noControl(std::string_view v);   // no byte below 0x20 nor 0x7f
bool integerText(std::string_view v); // optional sign, digits, nothing else
bool ipv4(std::string_view v);        // dotted quad
bool ipv6(std::string_view v);        // inet_pton(AF_INET6)
bool ipAddress(std::string_view v);   // either
bool hostName(std::string_view v);    // letters, digits, '-', '.', or an address
bool hexByte(std::string_view v);     // exactly two hexadecimal digits
bool timeOfDay(std::string_view v);   // "H:MM" or "HH:MM", a real time of day
bool scheduleDay(std::string_view v); // "YYYY/MM/DD" (month and day may have one digit)
bool portNumber(std::string_view v);  // 1-65535
bool ipv4OrEmpty(std::string_view v); // "" or an IPv4 address
bool ipv6OrEmpty(std::string_view v); // "" or an IPv6 address

} // namespace web::settings
