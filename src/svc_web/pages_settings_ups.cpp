/*
 * pages_settings_ups.cpp - the UPS link, remote control, schedules, battery,
 * wake-on-LAN, menu and peripheral (sensor and battery-pack) pages, and the
 * touch-panel pages that pass their values on to the UPS link page.
 *
 * Each page is a field table walked by settings_page.cpp; a handler adds only
 * what its page does beyond saving: events for the data task, the RS-485
 * slave that must give the shared line up, the restart answer.
 */
#include "pages_settings.hpp"

#include "card_rules.hpp"
#include "platform.hpp"
#include "signals.h"

#include <cstdio>
#include <cstdlib>

namespace web
{

namespace sp = settings;

namespace
{

// A decimal number as the thresholds and command arguments are typed: an
// optional sign, digits, at most one point.
bool decimal(std::string_view v)
{
    if (!v.empty() && v[0] == '-') v.remove_prefix(1);
    bool digit = false, point = false;
    for (char c : v) {
        if (c >= '0' && c <= '9')
            digit = true;
        else if (c == '.' && !point)
            point = true;
        else
            return false;
    }
    return digit && v.size() <= 12;
}

bool whole(std::string_view v)
{
    return sp::integerText(v) && v.size() <= 9;
}

// The four fields of a serial line whose settings start with `prefix`.
#define SERIAL_FIELDS(page, prefix)                                                                \
    {page "baudrate", prefix "baudRate", sp::Baud},                                                \
        {page "data", prefix "dataBits", sp::DataBits},                                            \
        {page "parity", prefix "checkway", sp::Parity},                                            \
    {                                                                                              \
        page "stop", prefix "stopBits", sp::StopBits                                               \
    }

const sp::Page kUpsParam({
    {"ups_type", "ups_type", sp::Int, "0", sp::kRestart, nullptr, sp::range(0, 99)},
    {"ups_com_addr", "ups_addr", sp::Int, "1", 0, nullptr, sp::range(0, 255)},
    {"paraller_addr", "ups_paralleraddr", sp::Int, "2", 0, nullptr, sp::range(0, 255)},
    {"BatCell", "battery_sections_number", sp::Int, "16", 0, nullptr, sp::range(1, 999)},
    {"BatGroup", "battery_packs_number", sp::Int, "1", 0, nullptr, sp::range(1, 99)},
    {"EnableBat", "battery_enable_type", sp::Int, "0", 0, nullptr, sp::range(0, 9)},
    {"rec_data_rtm", "ups_data_record_minute", sp::Int, "5", 0, nullptr, sp::range(1, 1440)},
    {"dis_ups_trap", "communication_timeout", sp::Int, "0", 0, nullptr, sp::range(0, 86400)},
    SERIAL_FIELDS("", "ups_"),
    {"bat_change_time", "bat_change_time", sp::Text},
    {"ups_shotdown_type", "altups_ups_shotdown_type", sp::Int, "0", 0, nullptr, sp::range(0, 99)},
    {"enable_identify", "enable_identify", sp::Int, "0", 0, nullptr, sp::range(0, 9)},
    {"factory", "factory", sp::Int, "0", 0, nullptr, sp::range(0, 99)},
});

const sp::Page kRemoteControl({
    {"in_tast1", nullptr, sp::Text, "", 0, decimal},
    {"in_tast5", nullptr, sp::Text, "", 0, decimal},
    {"in_tast15", nullptr, sp::Text, "", 0, decimal},
    {"in_tast16", nullptr, sp::Text, "", 0, decimal},
    {"remote", nullptr, sp::Int, "", 0, nullptr, sp::range(0, card::command::kLast)},
});

const sp::Page kThsSettings =
    sp::Page({
                 SERIAL_FIELDS("ths", "ths_"),
                 {"is_used_ths", "ths_enable", sp::Int, "0", 0, nullptr, sp::range(0, 1)},
                 {"curr_module_num", nullptr, sp::Int, "0", 0, nullptr,
                  sp::range(0, card::kSensorModules)},
             })
        .list(
            {
                {"in_thaddr%d", nullptr, sp::Text, "", sp::kAbsentEmpty, whole},
                {"in_temph%d", nullptr, sp::Text, "", sp::kAbsentEmpty, decimal},
                {"in_templ%d", nullptr, sp::Text, "", sp::kAbsentEmpty, decimal},
                {"in_humih%d", nullptr, sp::Text, "", sp::kAbsentEmpty, decimal},
                {"in_humil%d", nullptr, sp::Text, "", sp::kAbsentEmpty, decimal},
                {"temp_conver%d", nullptr, sp::Text, "", sp::kAbsentEmpty, whole},
            },
            1, card::kSensorModules);

constexpr int kScheduleEntries = 7;
constexpr unsigned kE = sp::kAbsentEmpty;

const sp::Page kUpsSche({
    {"sche_bef_min", nullptr, sp::Text, "", kE, whole},
    {"sel_down", nullptr, sp::Text, "", kE, whole},
    {"down_time", nullptr, sp::Text, "", kE, whole},
    {"sel_batlow", nullptr, sp::Text, "", kE, whole},
    {"bat_time", nullptr, sp::Text, "", kE, whole},
    {"sel_overtemp", nullptr, sp::Text, "", kE, whole},
    {"temp_time", nullptr, sp::Text, "", kE, whole},
    {"sel_overload", nullptr, sp::Text, "", kE, whole},
    {"load_time", nullptr, sp::Text, "", kE, whole},
    {"config_test_period", nullptr, sp::Text, "", kE, whole},
    {"cycleTime", nullptr, sp::Text, "", kE, whole},
    {"config_test_weekly", nullptr, sp::Text, "", kE, whole},
    {"config_test_time", nullptr, sp::Text, "", kE, sp::timeOfDay},
    {"config_test_type", nullptr, sp::Text, "", kE, whole},
    {"config_test_pre_time", nullptr, sp::Text, "", kE, decimal},
});

const sp::Page kUpsScheLists = sp::Page({}).list(
    {
        {"sched_on%d", nullptr, sp::Text, "", kE, sp::timeOfDay},
        {"sched_off%d", nullptr, sp::Text, "", kE, sp::timeOfDay},
        {"ssched_d%d", nullptr, sp::Text, "", kE, sp::scheduleDay},
        {"ssched_on%d", nullptr, sp::Text, "", kE, sp::timeOfDay},
        {"ssched_off%d", nullptr, sp::Text, "", kE, sp::timeOfDay},
    },
    1, kScheduleEntries);

const sp::Page kBatParam({
    // Unset, they read as the battery estimator's own defaults.
    {"BatEvenVol", nullptr, sp::Float, "13.4", 0, nullptr, sp::range(0, 1000)},
    {"BatDepVol", nullptr, sp::Float, "10.5", 0, nullptr, sp::range(0, 1000)},
    {"EvenChargeTime", nullptr, sp::Int, "240", 0, nullptr, sp::range(0, 100000)},
    {"FloatChargeTime", nullptr, sp::Int, "120", 0, nullptr, sp::range(0, 100000)},
    {"saveSoh", nullptr, sp::Int, "100", 0, nullptr, sp::range(0, 100)},
    {"BatRateCap", nullptr, sp::Int, "7", 0, nullptr, sp::range(0, 100000)},
    {"UpsPower", nullptr, sp::Int, "1000", 0, nullptr, sp::range(0, 10000000)},
    {"UpsRatePower", nullptr, sp::Int, "800", 0, nullptr, sp::range(0, 10000000)},
    {"UpsRateCap", nullptr, sp::Int, "1000", 0, nullptr, sp::range(0, 10000000)},
    {"CurrentSel", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 9)},
});

constexpr int kPowerPoints = 20;
const sp::Page kConstantPower =
    sp::Page({{"WtNumber", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, kPowerPoints)}})
        .list({{"BatMin%d", nullptr, sp::Text, "", kE, decimal},
               {"BatWatt%d", nullptr, sp::Text, "", kE, decimal}},
              1, kPowerPoints);

constexpr int kWakeEntries = 8;
const sp::Page kUpsWakeUp =
    sp::Page({{"wakeport", nullptr, sp::Int, "9", 0, nullptr, sp::range(1, 65535)}})
        .list({{"WakeEnabled_%d", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 1)},
               {"mac_%d_0", nullptr, sp::Text, "", 0, sp::hexByte},
               {"mac_%d_1", nullptr, sp::Text, "", 0, sp::hexByte},
               {"mac_%d_2", nullptr, sp::Text, "", 0, sp::hexByte},
               {"mac_%d_3", nullptr, sp::Text, "", 0, sp::hexByte},
               {"mac_%d_4", nullptr, sp::Text, "", 0, sp::hexByte},
               {"mac_%d_5", nullptr, sp::Text, "", 0, sp::hexByte}},
              0, kWakeEntries - 1);

const sp::Page kCfgDeviceLeft = sp::Page({}).list(
    {{"use_dev_fun%d", nullptr, sp::Int, "1", 0, nullptr, sp::range(0, 1)}}, 1, 7);

const sp::Page kBmsParam({
    SERIAL_FIELDS("ths", "ths_"),
    {"bms_num", nullptr, sp::Int, "0", sp::kRestart, nullptr, sp::range(0, 32)},
    {"bms_pro", nullptr, sp::Int, "0", sp::kRestart, nullptr, sp::range(0, 99)},
    {"bms_start_addr", nullptr, sp::Int, "1", sp::kRestart, nullptr, sp::range(0, 255)},
    {"en_bms_auto_send_ups", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 1)},
});

const sp::Page kTvTime({{"update_ip", nullptr, sp::Text, "", 0, sp::hostName, {}, 64}});
const sp::Page
    kTvCell({{"BatCell", "battery_sections_number", sp::Int, "16", 0, nullptr, sp::range(1, 999)}});
const sp::Page
    kTvGroup({{"BatGroup", "battery_packs_number", sp::Int, "1", 0, nullptr, sp::range(1, 99)}});

// The model members the UPS pages show beside their fields.
void addModel(cJSON* doc)
{
    card::Runtime& rt = card::rt();
    cJSON_AddNumberToObject(doc, "ups_type", card::upsType(rt));
    cJSON_AddNumberToObject(doc, "ups_model", rt.value(card::kUps, Data_UPSProductTypeIdent));
}

// Reads (any method but POST) answer the page's JSON; true when answered.
bool readPage(const sp::Page& page, const Request& req, Reply& reply,
              void (*extra)(cJSON*, const Request&) = nullptr)
{
    if (req.isPost()) return false;
    auto doc = page.read(req);
    if (extra) extra(doc.get(), req);
    sp::sendPage(reply, doc.get());
    return true;
}

// A simple page: read, or walk and answer "ok".
void plainPage(const sp::Page& page, const Request& req, Reply& reply)
{
    if (readPage(page, req, reply)) return;
    if (sp::refused(reply, page.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

// The sensor line is shared with the RS-485 Modbus slave: taking it for
// sensors or battery packs switches the slave off ("0"), any other change
// needs the restart ("2"). Either way the card starts again.
int takeSharedLine(bool taken)
{
    card::Runtime& rt = card::rt();
    int answer = sp::kAnswerRestart;
    if (rt.integer("enable_485modbus", 1) == 1 && taken) {
        rt.saveInt("enable_485modbus", 0);
        answer = sp::kAnswerSwitched;
    }
    rt.post(card::channel::kCommand, card::event::kRestart);
    return answer;
}

// Passes one value on to the UPS link page through the card's own client.
bool passToUpsParam(const std::string& form)
{
    char answer[1024] = {0};
    return httpGetPost("UpsParam", answer, sizeof answer, form.c_str()) > 0;
}

} // namespace

void ups_upsparam(const Request& req, Reply& reply)
{
    if (readPage(kUpsParam, req, reply, [](cJSON* doc, const Request&) {
            cJSON_AddNumberToObject(doc, "product_version", 1);
        }))
        return;
    card::Runtime& rt = card::rt();
    if (std::string bad = kUpsParam.check(req); !bad.empty()) {
        resultOk(reply, sp::kAnswerRefused, bad);
        return;
    }
    // A new identification starts from zero progress.
    if (auto v = req.bodyField("enable_identify"))
        if (std::atoi(v->c_str()) != rt.integer("enable_identify", 0))
            rt.setValue(card::kUps, Data_auto_identify_Progress, 0);
    sp::Write w = kUpsParam.write(req);
    if (sp::refused(reply, w)) return;
    if (req.bodyField("ups_shotdown_type"))
        rt.post(card::channel::kCommand, card::event::kModelSetup);
    resultOk(reply, w.restart ? sp::kAnswerRestart : sp::kAnswerSaved);
}

void ups_remotecontrol(const Request& req, Reply& reply)
{
    if (readPage(kRemoteControl, req, reply, [](cJSON* doc, const Request&) { addModel(doc); }))
        return;
    sp::Write w = kRemoteControl.write(req);
    if (sp::refused(reply, w)) return;
    if (auto remote = req.bodyField("remote")) {
        const int c = std::atoi(remote->c_str());
        card::rt().storeText(card::store::kControlWeb + c, "Web:" + req.address);
        card::rt().command(c);
    }
    resultOk(reply, sp::kAnswerOk);
}

void ups_thssettings(const Request& req, Reply& reply)
{
    if (readPage(kThsSettings, req, reply, [](cJSON* doc, const Request&) {
            card::Runtime& rt = card::rt();
            cJSON_AddNumberToObject(doc, "comm_status", rt.answering(card::kSensors) ? 1 : 0);
            cJSON* list = cJSON_AddArrayToObject(doc, "data");
            for (int n = 1; n <= card::kSensorModules; ++n) {
                cJSON* row = cJSON_CreateObject();
                cJSON_AddNumberToObject(row, "temp", card::sensorTemperature(rt, n));
                cJSON_AddNumberToObject(row, "humi", card::sensorHumidity(rt, n));
                cJSON_AddNumberToObject(row, "comm_status", card::sensorAnswering(rt, n) ? 1 : 0);
                cJSON_AddItemToArray(list, row);
            }
        }))
        return;
    sp::Write w = kThsSettings.write(req);
    if (sp::refused(reply, w)) return;
    card::Runtime& rt = card::rt();
    if (!w.changedKey("ths_enable")) {
        rt.post(card::channel::kCommand, card::event::kSensorSetup);
        resultOk(reply, sp::kAnswerSaved);
        return;
    }
    resultOk(reply, takeSharedLine(rt.integer("ths_enable", 0) == 1));
}

void ups_upssche(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kUpsSche.read(req);
        card::Runtime& rt = card::rt();
        cJSON* every = cJSON_AddArrayToObject(doc.get(), "every_settings");
        cJSON* special = cJSON_AddArrayToObject(doc.get(), "special_settings");
        for (int n = 1; n <= kScheduleEntries; ++n) {
            const std::string i = std::to_string(n);
            cJSON* e = cJSON_CreateObject();
            cJSON_AddStringToObject(e, "sched_on", rt.text("sched_on" + i).c_str());
            cJSON_AddStringToObject(e, "sched_off", rt.text("sched_off" + i).c_str());
            cJSON_AddItemToArray(every, e);
            cJSON* s = cJSON_CreateObject();
            cJSON_AddStringToObject(s, "sched_d", rt.text("ssched_d" + i).c_str());
            cJSON_AddStringToObject(s, "sched_on", rt.text("ssched_on" + i).c_str());
            cJSON_AddStringToObject(s, "sched_off", rt.text("ssched_off" + i).c_str());
            cJSON_AddItemToArray(special, s);
        }
        addModel(doc.get());
        sp::sendPage(reply, doc.get());
        return;
    }
    // Both tables are checked before either saves.
    std::string bad = kUpsSche.check(req);
    if (bad.empty()) bad = kUpsScheLists.check(req);
    if (!bad.empty()) {
        resultOk(reply, sp::kAnswerRefused, bad);
        return;
    }
    kUpsSche.write(req);
    kUpsScheLists.write(req);
    resultOk(reply, sp::kAnswerOk);
}

void ups_batparam(const Request& req, Reply& reply)
{
    plainPage(kBatParam, req, reply);
}

void ups_constantpower(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        card::Runtime& rt = card::rt();
        auto doc = sp::object();
        cJSON_AddNumberToObject(doc.get(), "WtNumber", rt.integer("WtNumber", 0));
        cJSON* mins = cJSON_AddArrayToObject(doc.get(), "BatMin");
        cJSON* watts = cJSON_AddArrayToObject(doc.get(), "BatWatt");
        for (int n = 1; n <= kPowerPoints; ++n) {
            cJSON_AddItemToArray(mins,
                                 cJSON_CreateString(rt.text("BatMin" + std::to_string(n)).c_str()));
            cJSON_AddItemToArray(
                watts, cJSON_CreateString(rt.text("BatWatt" + std::to_string(n)).c_str()));
        }
        sp::sendPage(reply, doc.get());
        return;
    }
    if (sp::refused(reply, kConstantPower.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_upswakeup(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        card::Runtime& rt = card::rt();
        auto doc = sp::object();
        cJSON_AddNumberToObject(doc.get(), "wakeport", rt.integer("wakeport", 9));
        cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
        for (int n = 0; n < kWakeEntries; ++n) {
            const std::string i = std::to_string(n);
            cJSON* row = cJSON_CreateObject();
            cJSON_AddNumberToObject(row, "WakeEnabled", rt.integer("WakeEnabled_" + i, 0));
            for (int b = 0; b < 6; ++b) {
                const std::string member = "mac_" + std::to_string(b);
                cJSON_AddStringToObject(row, member.c_str(),
                                        rt.text("mac_" + i + "_" + std::to_string(b)).c_str());
            }
            cJSON_AddItemToArray(list, row);
        }
        sp::sendPage(reply, doc.get());
        return;
    }
    if (sp::refused(reply, kUpsWakeUp.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_cfgdeviceleft(const Request& req, Reply& reply)
{
    if (readPage(kCfgDeviceLeft, req, reply,
                 [](cJSON* doc, const Request&) { cJSON_AddStringToObject(doc, "deviceid", "0"); }))
        return;
    if (sp::refused(reply, kCfgDeviceLeft.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_bmsparam(const Request& req, Reply& reply)
{
    if (readPage(kBmsParam, req, reply)) return;
    sp::Write w = kBmsParam.write(req);
    if (sp::refused(reply, w)) return;
    if (!w.restart) {
        resultOk(reply, sp::kAnswerSaved);
        return;
    }
    resultOk(reply, takeSharedLine(card::rt().integer("bms_num", 0) != 0));
}

void ups_tvtimeupdate(const Request& req, Reply& reply)
{
    if (readPage(kTvTime, req, reply)) return;
    sp::Write w = kTvTime.write(req);
    if (sp::refused(reply, w)) return;
    auto host = req.bodyField("update_ip", 64);
    reply.kind = Reply::Kind::Text;
    reply.header("Content-Type", "text/plain");
    if (!host) {
        reply.body = "ok";
        return;
    }
    card::Runtime& rt = card::rt();
    platform::writeFile(platform::appPath("config/UpdateIP"), *host);
    // The host reaches ntpdate as one argument, never through a shell; the
    // check above keeps it from looking like an option.
    std::string probe;
    platform::runArgv({"ntpdate", "-d", *host}, &probe);
    if (probe.find("receive") == std::string::npos) {
        rt.log("[TvTimeUpdate] no answer from " + *host);
        reply.body = "fail";
        return;
    }
    std::string out;
    platform::runArgv({"ntpdate", *host}, &out);
    platform::runArgv({"hwclock", "--systohc", "--utc"});
    rt.log("[" + *host + "] [" + out.substr(0, out.find('\n')) + "]");
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char form[64];
    std::snprintf(form, sizeof form, "systime=%04d-%02d-%02d+%02d%%3A%02d%%3A%02d",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    char answer[1024] = {0};
    httpGetPost("ManualUpdateTime", answer, sizeof answer, form);
    reply.body = "ok";
}

namespace
{

// The touch panel's battery pages: only the UPS types whose count the card
// sets itself take them; the UPS link page does the saving.
void panelBatteryPage(const sp::Page& page, const char* field, const Request& req, Reply& reply)
{
    if (readPage(page, req, reply)) return;
    if (std::string bad = page.check(req); !bad.empty()) {
        resultOk(reply, sp::kAnswerRefused, bad);
        return;
    }
    auto v = req.bodyField(field);
    const int type = card::upsType(card::rt());
    if (!v || (type != 0 && type != 1)) {
        resultOk(reply, sp::kAnswerRefused, field);
        return;
    }
    const bool passed =
        passToUpsParam(std::string(field) + "=" + std::to_string(std::atoi(v->c_str())));
    resultOk(reply, passed ? sp::kAnswerOk : sp::kAnswerRefused, passed ? "" : "UpsParam");
}

} // namespace

void ups_tvbatterycell(const Request& req, Reply& reply)
{
    panelBatteryPage(kTvCell, "BatCell", req, reply);
}

void ups_tvbatterygroup(const Request& req, Reply& reply)
{
    panelBatteryPage(kTvGroup, "BatGroup", req, reply);
}

} // namespace web
